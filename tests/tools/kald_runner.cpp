#include "kald_runner.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kald::test {
namespace {

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

void KaldTest::SetUp()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kald_tool_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    root_ = pattern;
    work_ = root_ / "work";
    std::filesystem::create_directory(work_);
}

void KaldTest::TearDown()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

RunResult KaldTest::Kald(const std::vector<std::string>& args)
{
    const std::string outPath = (root_ / "stdout").string();
    const std::string errPath = (root_ / "stderr").string();
    std::vector<char*> argv;
    std::string binary = KALD_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    RunResult result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(work_.c_str()) != 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << std::strerror(errno);
            return result;
        }
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    return result;
}

std::set<std::string> KaldTest::Listing() const
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(work_)) {
        names.insert(entry.path().lexically_relative(work_).string());
    }
    return names;
}

void KaldTest::WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    std::ofstream out(Path(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
}

std::vector<uint8_t> KaldTest::ReadBytes(const std::string& name) const
{
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void KaldTest::WritePng(const std::string& name, int width, int height,
                        const std::vector<uint8_t>& pixels, bool grey) const
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, Path(name).c_str(), 0, pixels.data(), 0, nullptr))
        << image.message;
}

Picture KaldTest::ReadPng(const std::string& name) const
{
    Picture picture;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, Path(name).c_str())) {
        ADD_FAILURE() << name << ": " << image.message;
        return picture;
    }
    image.format = PNG_FORMAT_RGB;
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        ADD_FAILURE() << name << ": " << image.message;
        return Picture{};
    }
    return picture;
}

void BitWriter::Put(uint32_t value, int bits)
{
    for (int i = bits - 1; i >= 0; --i) {
        if (used_ == 8) {
            bytes_.push_back(0);
            used_ = 0;
        }
        bytes_.back() |= uint8_t(((value >> i) & 1u) << (7 - used_));
        ++used_;
    }
}

} // namespace kald::test
