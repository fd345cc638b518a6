// kald pages: the property pages found through their registration, driven
// by clicks and drags, applied or abandoned, with the settings that outlive
// the process in the registry file.
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

using ::testing::HasSubstr;

class KaldPagesTest : public KaldTest {
  protected:
    RunResult Pages(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"pages", "--registry", "settings.reg"});
        return Kald(args);
    }

    void Register()
    {
        const RunResult result = Pages({"--register"});
        ASSERT_EQ(result.status, 0) << result.err;
    }

    // `kald ctrl --get name` of the same registry file.
    std::string Control(const std::string& name)
    {
        const RunResult result = Kald({"ctrl", "--registry", "settings.reg", "--get", name});
        EXPECT_EQ(result.status, 0) << result.err;
        const std::string prefix = name + "=";
        const size_t at = result.out.find(prefix);
        if (at == std::string::npos) {
            return "";
        }
        return result.out.substr(at + prefix.size(),
                                 result.out.find('\n', at) - at - prefix.size());
    }
};

// The line of control `id` in a page listing, with its columns joined by
// single spaces.
std::string ControlLine(const std::string& listing, int id)
{
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        if (words >> first && first == std::to_string(id)) {
            std::string joined = first;
            for (std::string word; words >> word;) {
                joined += " " + word;
            }
            return joined;
        }
    }
    return "";
}

TEST_F(KaldPagesTest, AppliedChangesOutliveTheProcess)
{
    Register();
    const RunResult result =
        Pages({"--page", "Settings", "--set", "1000=150", "--click", "1012", "--apply"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("Settings\n"));
    EXPECT_EQ(ControlLine(result.out, 1000), "1000 slider 150 (0..255)");
    EXPECT_EQ(ControlLine(result.out, 1012), "1012 checkbox [ ] \"Automatic &Color\"");
    // Automatic colour off: the colour sliders are the user's.
    EXPECT_EQ(ControlLine(result.out, 1003), "1003 slider 10 (0..20)");
    EXPECT_THAT(result.out, HasSubstr("applied"));
    EXPECT_EQ(Control("brightness"), "150");
    EXPECT_EQ(Control("auto-white-balance"), "0");
}

TEST_F(KaldPagesTest, ClosingWithoutApplyKeepsTheSavedSettings)
{
    Register();
    const RunResult result = Pages({"--page", "Test Settings", "--set", "1036=2000"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ControlLine(result.out, 1035), "1035 label \"C&ontrast:2000\"");
    EXPECT_THAT(result.out, HasSubstr("without Apply"));
    EXPECT_EQ(Control("contrast"), "0");
}

TEST_F(KaldPagesTest, ShowsEveryPageAndTheLanguageOfTheLocale)
{
    Register();
    RunResult result = Pages({});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* title : {"Settings\n", "Advanced Settings\n", "Test Settings\n"}) {
        EXPECT_THAT(result.out, HasSubstr(title));
    }
    EXPECT_THAT(ControlLine(result.out, 1051), HasSubstr("(disabled)"));

    result = Pages({"--locale", "0x407", "--page", "Settings"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("Einstellungen\n"));
    EXPECT_EQ(ControlLine(result.out, 1009), "1009 label \"&Helligkeit\"");
}

TEST_F(KaldPagesTest, RegistrationIsNeededAndCanBeUndone)
{
    RunResult result = Pages({"--page", "Settings"});
    EXPECT_EQ(result.status, 2);
    EXPECT_THAT(result.err, HasSubstr("--register"));
    Register();
    EXPECT_EQ(Pages({"--page", "Settings"}).status, 0);
    result = Pages({"--unregister"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Pages({"--page", "Settings"}).status, 2);
}

TEST_F(KaldPagesTest, BadArgumentsAreRefused)
{
    Register();
    const std::vector<std::vector<std::string>> cases = {
        {"--page", "Colours"},
        {"--set", "1000=150"},
        {"--page", "Settings", "--set", "1000"},
        {"--page", "Settings", "--set", "1000=lots"},
        {"--page", "Settings", "--set", "1012=1"},
        {"--page", "Settings", "--click", "9999"},
        {"--register", "--unregister"},
        {"--locale", "German"},
    };
    for (const auto& args : cases) {
        const RunResult result = Pages(args);
        EXPECT_EQ(result.status, 2) << args.back() << "\n" << result.out;
        EXPECT_FALSE(result.err.empty()) << args.back();
    }
    EXPECT_EQ(Control("brightness"), "118");
}

} // namespace
} // namespace kald::test
