// kald ctrl: every control listed with its default on a fresh registry,
// values that outlive the process through the registry file, the three
// restores, and the errors that leave the registry file as it was.
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

using ::testing::HasSubstr;

// The NAME=VALUE lines of `text`, by name.
std::map<std::string, std::string> Values(const std::string& text)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// The --list row of `name` split into its first five columns.
std::vector<std::string> ListRow(const std::string& listing, const std::string& name)
{
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> columns;
        std::string word;
        while (columns.size() < 6 && words >> word) {
            columns.push_back(word);
        }
        if (!columns.empty() && columns[0] == name && columns.size() == 6) {
            // The property is two words: the set and the id.
            return {columns[0], columns[1] + " " + columns[2], columns[3], columns[4], columns[5]};
        }
    }
    return {};
}

class KaldCtrlTest : public KaldTest {
  protected:
    RunResult Ctrl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"ctrl", "--registry", "settings.reg"});
        return Kald(args);
    }

    // Runs --get for `names` and returns what it printed, by name.
    std::map<std::string, std::string> Get(const std::vector<std::string>& names)
    {
        std::vector<std::string> args = {"--get"};
        args.insert(args.end(), names.begin(), names.end());
        const RunResult result = Ctrl(args);
        EXPECT_EQ(result.status, 0) << result.err;
        return Values(result.out);
    }

    void Set(const std::vector<std::string>& settings)
    {
        std::vector<std::string> args = {"--set"};
        args.insert(args.end(), settings.begin(), settings.end());
        const RunResult result = Ctrl(args);
        ASSERT_EQ(result.status, 0) << result.err;
    }
};

TEST_F(KaldCtrlTest, ListShowsEveryControlWithItsDefaultOnAFreshRegistry)
{
    struct Row {
        const char* name;
        const char* property;
        const char* range;
        const char* defaultValue;
    };
    // Extension-set ids, driver ranges (registry ranges for the engineering
    // controls) and built-in defaults; gain and exposure time have none.
    const Row rows[] = {
        {"brightness", "extension 4", "0..255", "118"},
        {"contrast", "extension 14", "0..3000", "0"},
        {"hue", "extension 9", "0..358", "179"},
        {"saturation", "extension 3", "0..63", "32"},
        {"sharpness", "extension 8", "1..8", "6"},
        {"gamma", "extension 15", "0..9", "7"},
        {"white-balance", "extension 5", "0..20", "10"},
        {"auto-exposure", "extension 0", "0..1", "1"},
        {"auto-white-balance", "extension 1", "0..1", "1"},
        {"compression", "extension 2", "1", "1"},
        {"flicker", "extension 12", "0..1", "0"},
        {"flicker-freq", "extension 13", "0..2", "0"},
        {"exposure-time", "extension 11", "1..27", "-"},
        {"gain", "extension 10", "1..32", "-"},
        {"skip-ms", "extension 16", "33..500", "125"},
        {"max-packet", "extension 17", "128..1024", "1024"},
        {"aeawb-interval", "extension 18", "32..512", "128"},
        {"ae-period", "extension 19", "2..16", "6"},
        {"fixed-ae-period", "extension 20", "0..1", "1"},
        {"awb-period", "extension 21", "1..4", "1"},
        {"fixed-awb-period", "extension 22", "0..1", "1"},
        {"dpc", "extension 23", "0..1", "1"},
    };
    const RunResult result = Ctrl({"--list"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<std::string> shown = ListRow(result.out, row.name);
        ASSERT_EQ(shown.size(), 5u) << result.out;
        EXPECT_EQ(shown[1], row.property);
        EXPECT_EQ(shown[2], row.range);
        EXPECT_EQ(shown[3], row.defaultValue);
        if (std::string(row.defaultValue) != "-") {
            EXPECT_EQ(shown[4], row.defaultValue) << "the driver's current value";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(Path("settings.reg"))) << "a listing writes nothing";
    // With no action the listing is what ctrl shows.
    EXPECT_EQ(Ctrl({}).out, result.out);
}

TEST_F(KaldCtrlTest, SetValuesAreReadBackByLaterProcesses)
{
    Set({"brightness=100", "hue=200", "saturation=50", "flicker=1", "flicker-freq=1",
         "max-packet=512", "dpc=0"});
    ASSERT_TRUE(std::filesystem::exists(Path("settings.reg")));
    // A later set keeps what the earlier process stored.
    Set({"gamma=3", "brightness=90"});

    const std::map<std::string, std::string> expected = {
        {"brightness", "90"},  {"hue", "200"},        {"saturation", "50"}, {"flicker", "1"},
        {"flicker-freq", "1"}, {"max-packet", "512"}, {"dpc", "0"},         {"gamma", "3"},
        {"sharpness", "6"}, // untouched: still the default
    };
    std::vector<std::string> names;
    for (const auto& [name, value] : expected) {
        names.push_back(name);
    }
    EXPECT_EQ(Get(names), expected);

    const RunResult listing = Ctrl({"--list"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(ListRow(listing.out, "brightness"),
              (std::vector<std::string>{"brightness", "extension 4", "0..255", "118", "90"}));
}

TEST_F(KaldCtrlTest, SetUsesTheDefaultRegistryFileUnderXdgConfigHome)
{
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);

    const RunResult set = Kald({"ctrl", "--set", "sharpness=2"});
    const RunResult get = Kald({"ctrl", "--get", "sharpness"});

    if (previous != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(std::filesystem::exists(Path("config/kald/registry.reg")))
        << "the directory is made on the first save";
    EXPECT_EQ(get.out, "sharpness=2\n") << get.err;
}

TEST_F(KaldCtrlTest, RestoreResetsOnlyItsGroup)
{
    struct Case {
        const char* group;
        std::map<std::string, std::string> after; // of the four changed controls
    };
    // saturation is a picture setting, flicker a flicker one, gamma and
    // skip-ms test ones.
    const Case cases[] = {
        {"picture", {{"saturation", "32"}, {"flicker", "1"}, {"gamma", "3"}, {"skip-ms", "200"}}},
        {"flicker", {{"saturation", "10"}, {"flicker", "0"}, {"gamma", "3"}, {"skip-ms", "200"}}},
        {"test", {{"saturation", "10"}, {"flicker", "1"}, {"gamma", "7"}, {"skip-ms", "125"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        Set({"saturation=10", "flicker=1", "gamma=3", "skip-ms=200"});
        const RunResult restore = Ctrl({"--restore", c.group});
        ASSERT_EQ(restore.status, 0) << restore.err;
        EXPECT_EQ(Get({"saturation", "flicker", "gamma", "skip-ms"}), c.after);
    }
}

TEST_F(KaldCtrlTest, RestoreTakesTheDefaultsKeyOfTheRegistryFile)
{
    // An installer's Defaults key wins over the built-in defaults; an
    // out-of-range value there falls back to the built-in one.
    WriteBytes("settings.reg", [] {
        const std::string text = "REGEDIT4\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Defaults]\n"
                                 "\"Saturation\"=dword:00000014\n"
                                 "\"Sharpness\"=dword:0000000c\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\n"
                                 "\"Saturation\"=dword:00000005\n"
                                 "\"Sharpness\"=dword:00000002\n";
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    EXPECT_EQ(Get({"saturation", "sharpness"}),
              (std::map<std::string, std::string>{{"saturation", "5"}, {"sharpness", "2"}}));
    ASSERT_EQ(Ctrl({"--restore", "picture"}).status, 0);
    EXPECT_EQ(Get({"saturation", "sharpness"}),
              (std::map<std::string, std::string>{{"saturation", "20"}, {"sharpness", "6"}}));
}

TEST_F(KaldCtrlTest, BadArgumentsExitTwoAndLeaveTheRegistryFileAlone)
{
    Set({"brightness=100"});
    const std::vector<uint8_t> stored = ReadBytes("settings.reg");
    std::filesystem::create_directory(Path("subdir"));

    struct Case {
        const char* name;
        std::vector<std::string> args; // after ctrl
        std::vector<const char*> stderrHas;
    };
    const Case cases[] = {
        {"unknown control to set",
         {"--registry", "settings.reg", "--set", "frobnicate=1"},
         {"unknown control 'frobnicate'", "brightness"}},
        {"unknown control to get",
         {"--registry", "settings.reg", "--get", "brightness", "zoom"},
         {"unknown control 'zoom'"}},
        {"above the range",
         {"--registry", "settings.reg", "--set", "brightness=256"},
         {"brightness", "256", "0..255"}},
        {"below the range", {"--registry", "settings.reg", "--set", "sharpness=0"}, {"1..8"}},
        {"far beyond any value",
         {"--registry", "settings.reg", "--set", "contrast=99999999999999999999"},
         {"contrast", "0..3000"}},
        {"compression off", {"--registry", "settings.reg", "--set", "compression=0"}, {"valid"}},
        {"not a number",
         {"--registry", "settings.reg", "--set", "hue=abc"},
         {"hue", "'abc'", "0..358"}},
        {"hex", {"--registry", "settings.reg", "--set", "hue=0x10"}, {"hue", "0..358"}},
        {"empty value", {"--registry", "settings.reg", "--set", "gamma="}, {"gamma", "0..9"}},
        {"no equals sign", {"--registry", "settings.reg", "--set", "gamma"}, {"NAME=VALUE"}},
        {"no name", {"--registry", "settings.reg", "--set", "=5"}, {"NAME=VALUE"}},
        {"a good setting before a bad one",
         {"--registry", "settings.reg", "--set", "brightness=50", "saturation=64"},
         {"saturation", "0..63"}},
        {"gain is not stored",
         {"--registry", "settings.reg", "--set", "gain=5"},
         {"gain", "stored"}},
        {"flicker off is not stored",
         {"--registry", "settings.reg", "--set", "flicker-freq=2"},
         {"flicker-freq", "0..1"}},
        {"unknown restore group",
         {"--registry", "settings.reg", "--restore", "everything"},
         {"everything"}},
        {"list and set together",
         {"--registry", "settings.reg", "--list", "--set", "gamma=2"},
         {"--list"}},
        {"set without a value", {"--registry", "settings.reg", "--set"}, {"--set"}},
        {"registry in a missing directory",
         {"--registry", "missing/settings.reg", "--set", "gamma=2"},
         {"missing/settings.reg", "does not exist"}},
        {"registry is a directory", {"--registry", "subdir", "--set", "gamma=2"}, {"subdir"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::set<std::string> before = Listing();
        std::vector<std::string> args = {"ctrl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult result = Kald(args);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_EQ(result.out, "");
        for (const char* text : c.stderrHas) {
            EXPECT_THAT(result.err, HasSubstr(text));
        }
        EXPECT_EQ(Listing(), before) << "no file or directory made";
        EXPECT_EQ(ReadBytes("settings.reg"), stored);
    }
    EXPECT_EQ(Get({"brightness"}), (std::map<std::string, std::string>{{"brightness", "100"}}));
}

TEST_F(KaldCtrlTest, DamagedRegistryFileIsReportedAndNotOverwritten)
{
    struct Case {
        const char* name;
        std::string text;
        const char* stderrHas;
    };
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\n";
    const Case cases[] = {
        {"no header", "hello\n", "line 1"},
        {"a string value", "REGEDIT4\n\n" + key + "\"Gamma\"=\"seven\"\n", "line 4"},
        {"a value cut short", "REGEDIT4\n\n" + key + "\"Gamma\"=dword:", "line 4"},
        {"a bad hex digit", "REGEDIT4\n\n" + key + "\"Gamma\"=dword:0000000g", "line 4"},
        {"a key never closed", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> damaged(c.text.begin(), c.text.end());
        WriteBytes("settings.reg", damaged);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--list"},
                                                     {"--get", "gamma"},
                                                     {"--set", "gamma=3"},
                                                     {"--restore", "test"}}) {
            SCOPED_TRACE(args[0]);
            const RunResult result = Ctrl(args);
            EXPECT_EQ(result.status, 2) << result.out;
            EXPECT_EQ(result.out, "");
            EXPECT_THAT(result.err, HasSubstr("settings.reg"));
            EXPECT_THAT(result.err, HasSubstr(c.stderrHas));
            EXPECT_EQ(ReadBytes("settings.reg"), damaged);
        }
    }
}

} // namespace
} // namespace kald::test
