// The files a capture run leaves: each is written to a temporary file beside
// its path from before the stream starts, and renamed into place only when
// the run has finished, so a path holds its old content or the whole new
// file, never a partial one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kald_sim/image.h"

namespace kald::tool {

// One output. The constructor creates the temporary file, so an unwritable
// path is reported before anything runs; the destructor removes it unless
// Commit renamed it into place. Errors are ToolError (kExitUsage) naming the
// path.
class OutputFile {
  public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(std::span<const uint8_t> bytes);
    void Write(std::string_view text);
    // Flushes and closes the temporary file and renames it over the path.
    void Commit();

    const std::string& Path() const { return path_; }

  private:
    [[noreturn]] void Fail(int error);

    std::string path_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    bool committed_ = false;
};

// How the pictures are stored, by the file's extension.
enum class VideoContainer : uint8_t {
    Y4m, // .y4m: YUV4MPEG2, 4:2:0 planar with JPEG chroma siting, full range
    Raw, // .i420, .yuv: the I420 pictures back to back
};
std::optional<VideoContainer> ContainerFor(const std::string& path);

// The YUV4MPEG2 stream header for I420 pictures at `framesPerSecond`.
std::string Y4mHeader(int width, int height, unsigned framesPerSecond);
// What precedes each picture in a YUV4MPEG2 stream.
inline constexpr std::string_view kY4mFrameHeader = "FRAME\n";

// An I420 picture (full-range BT.601, as the driver's colour reconstruction
// makes it) as RGB for viewing; each chroma sample covers its 2x2 pixels.
kald::sim::RgbImage RgbFromI420(std::span<const uint8_t> picture, int width, int height);

// An 8-bit RGB PNG in memory.
std::vector<uint8_t> EncodePng(const kald::sim::RgbImage& image);

} // namespace kald::tool
