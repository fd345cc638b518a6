// The kald command line: help, version, and the errors of encode and inspect.
// Every error exits 2 (1 for a frame that does not decode) with a message
// naming what was wrong, and leaves no file behind.
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

constexpr size_t kRawFrameBytes = 116864; // the largest frame file inspect takes

using ::testing::HasSubstr;

struct TopLevelCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* stdoutHas; // checked when not empty
    const char* stderrHas;
};

class KaldTopLevelTest : public KaldTest {};

TEST_F(KaldTopLevelTest, HelpVersionAndUnknownSubcommands)
{
    const TopLevelCase cases[] = {
        {"help lists the subcommands", {"--help"}, 0, "inspect", ""},
        {"help of a subcommand", {"encode", "--help"}, 0, "--scene", ""},
        {"help of inspect", {"inspect", "--help"}, 0, "--png", ""},
        {"version", {"--version"}, 0, "kald ", ""},
        {"no subcommand", {}, 2, "", "subcommand"},
        {"unknown subcommand",
         {"frobnicate", "--size", "320x240"},
         2,
         "",
         "unknown subcommand 'frobnicate'"},
        {"unknown option", {"--frobnicate"}, 2, "", "--frobnicate"},
    };
    for (const TopLevelCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult result = Kald(c.args);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.out, HasSubstr(c.stdoutHas));
        EXPECT_THAT(result.err, HasSubstr(c.stderrHas));
        if (c.status != 0) {
            EXPECT_THAT(result.err, HasSubstr("kald")) << "errors say who is speaking";
        }
    }
}

struct ErrorCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* stderrHas;
};

// Inputs every error case can point at.
class KaldErrorTest : public KaldTest {
protected:
    void SetUp() override
    {
        KaldTest::SetUp();
        // A valid 8x6 picture, its first half (cut inside the image data),
        // a text file, and a directory.
        WritePng("input.png", 8, 6, std::vector<uint8_t>(8 * 6 * 3, 90));
        std::vector<uint8_t> png = ReadBytes("input.png");
        ASSERT_GT(png.size(), 60u);
        png.resize(png.size() / 2);
        WriteBytes("truncated.png", png);
        WriteBytes("notpng.txt", {'h', 'e', 'l', 'l', 'o', '\n'});
        std::filesystem::create_directory(Path("subdir"));
    }

    // Runs each case and checks its status, its message and that the scratch
    // directory is exactly as before (no output, no temporary file).
    void CheckErrorCases(const std::vector<ErrorCase>& cases)
    {
        for (const ErrorCase& c : cases) {
            SCOPED_TRACE(c.name);
            const std::set<std::string> before = Listing();
            const RunResult result = Kald(c.args);
            EXPECT_EQ(result.status, c.status) << result.err;
            EXPECT_THAT(result.err, HasSubstr(c.stderrHas));
            EXPECT_EQ(Listing(), before);
        }
    }
};

TEST_F(KaldErrorTest, EncodeErrorsExitTwoAndWriteNothing)
{
    const std::vector<ErrorCase> cases = {
        {"missing input",
         {"encode", "--size", "320x240", "missing.png", "out.bin"},
         2,
         "missing.png"},
        {"input is not a PNG",
         {"encode", "--size", "320x240", "notpng.txt", "out.bin"},
         2,
         "notpng.txt"},
        {"truncated PNG",
         {"encode", "--size", "160x120", "truncated.png", "out.bin"},
         2,
         "truncated.png"},
        {"input is a directory", {"encode", "--size", "160x120", "subdir", "out.bin"}, 2, "subdir"},
        {"unknown size", {"encode", "--size", "100x100", "input.png", "out.bin"}, 2, "100x100"},
        {"size not WxH", {"encode", "--size", "320x240x", "input.png", "out.bin"}, 2, "320x240x"},
        {"missing --size", {"encode", "input.png", "out.bin"}, 2, "--size"},
        {"missing output", {"encode", "--size", "320x240", "input.png"}, 2, "output"},
        {"no files", {"encode", "--size", "320x240"}, 2, "output"},
        {"scene and a picture",
         {"encode", "--size", "320x240", "--scene", "default", "input.png", "out.bin"},
         2,
         "--scene"},
        {"unknown scene",
         {"encode", "--size", "320x240", "--scene", "sunset", "out.bin"},
         2,
         "sunset"},
        {"revision out of range",
         {"encode", "--size", "320x240", "--revision", "256", "input.png", "out.bin"},
         2,
         "--revision"},
        {"revision not a number",
         {"encode", "--size", "320x240", "--revision", "two", "input.png", "out.bin"},
         2,
         "--revision"},
        {"output directory missing",
         {"encode", "--size", "320x240", "input.png", "no-such-dir/out.bin"},
         2,
         "no-such-dir/out.bin"},
        {"output is a directory",
         {"encode", "--size", "176x144", "--scene", "default", "subdir"},
         2,
         "subdir"},
    };
    CheckErrorCases(cases);
}

TEST_F(KaldErrorTest, FailedEncodeLeavesExistingOutputAlone)
{
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    for (const char* input : {"missing.png", "notpng.txt", "truncated.png"}) {
        SCOPED_TRACE(input);
        WriteBytes("out.bin", old);
        EXPECT_EQ(Kald({"encode", "--size", "320x240", input, "out.bin"}).status, 2);
        EXPECT_EQ(ReadBytes("out.bin"), old);
    }
}

TEST_F(KaldErrorTest, InspectErrorsExitTwoAndWriteNothing)
{
    WriteBytes("zeros.bin", std::vector<uint8_t>(1000, 0));
    const std::vector<ErrorCase> cases = {
        {"missing frame",
         {"inspect", "--size", "160x120", "missing.bin", "--png", "p.png"},
         2,
         "missing.bin"},
        {"frame is a directory",
         {"inspect", "--size", "160x120", "subdir", "--png", "p.png"},
         2,
         "subdir"},
        {"unknown size",
         {"inspect", "--size", "100x100", "zeros.bin", "--png", "p.png"},
         2,
         "100x100"},
        {"missing --size", {"inspect", "zeros.bin", "--png", "p.png"}, 2, "--size"},
        {"missing --png", {"inspect", "--size", "160x120", "zeros.bin"}, 2, "--png"},
        {"missing frame argument", {"inspect", "--size", "160x120", "--png", "p.png"}, 2, "FRAME"},
        {"revision out of range",
         {"inspect", "--size", "320x240", "--revision", "-1", "zeros.bin", "--png", "p.png"},
         2,
         "--revision"},
        {"preview directory missing",
         {"inspect", "--size", "160x120", "zeros.bin", "--png", "no-such-dir/p.png"},
         2,
         "no-such-dir/p.png"},
        {"preview is a directory",
         {"inspect", "--size", "160x120", "zeros.bin", "--png", "subdir"},
         2,
         "subdir"},
    };
    CheckErrorCases(cases);
}

// A large frame that does not decode exits 1 naming the file; a small frame
// always decodes (bytes past its end read as zero). The raw frame buffer's
// size is the largest file accepted.
TEST_F(KaldErrorTest, InspectStatusByFrameContent)
{
    struct Case {
        const char* name;
        const char* size;
        size_t bytes; // all zero: no end marker after a large frame's rows
        int status;
    };
    const Case cases[] = {
        {"empty large frame", "320x240", 0, 1},
        {"large frame without end marker", "352x288", 1000, 1},
        {"large frame filling the raw buffer", "320x240", kRawFrameBytes, 1},
        {"empty small frame", "160x120", 0, 0},
        {"small frame filling the raw buffer", "176x144", kRawFrameBytes, 0},
        {"one byte too long", "176x144", kRawFrameBytes + 1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes("frame.bin", std::vector<uint8_t>(c.bytes, 0));
        const RunResult result = Kald({"inspect", "--size", c.size, "frame.bin", "--png", "p.png"});
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(std::filesystem::exists(Path("p.png")), c.status == 0);
        if (c.status != 0) {
            EXPECT_THAT(result.err, HasSubstr("frame.bin"));
        }
        std::filesystem::remove(Path("p.png"));
    }
}

} // namespace
} // namespace kald::test
