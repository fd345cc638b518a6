// kald inspect: decodes one compacted frame with the driver's decoder and
// writes a preview picture of the raw decode.
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "core/camera_context.h"
#include "file_io.h"
#include "frame_preview.h"
#include "frame_size.h"
#include "image_io.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

struct InspectOptions {
    std::string size;
    std::string frame;
    std::string png;
    int revision = 0;
};

void RunInspect(const InspectOptions& options)
{
    const FrameSize size = *ParseFrameSize(options.size); // checked by the parser
    const std::vector<uint8_t> frame =
        ReadFileBytes(options.frame, RAW_FRAME_BYTES, "the raw frame buffer");

    const std::optional<sim::RgbImage> preview =
        DecodeFramePreview(size, frame, uint8_t(options.revision));
    if (!preview) {
        throw ToolError(kExitBadFrame, "'" + options.frame + "' does not decode as a " +
                                           options.size + " frame (invalid code or no end marker)");
    }
    WritePng(options.png, *preview);

    // Statistics as the header orders them: set B (G1 R B G2), then set A.
    const std::array<uint8_t, 8> statistics = HeaderStatistics(frame);
    std::cout << options.frame << ": " << options.size << " frame of " << frame.size()
              << " bytes decoded; statistics set B";
    for (size_t i = 0; i < statistics.size(); ++i) {
        std::cout << (i == 4 ? ", set A " : " ") << int(statistics[i]);
    }
    std::cout << "; preview " << options.png << " (" << preview->width << "x" << preview->height
              << ")\n";
}

} // namespace

Subcommand AddInspectCommand(CLI::App& kald)
{
    auto options = std::make_shared<InspectOptions>();
    CLI::App* parser = kald.add_subcommand(
        "inspect", "Decode one compacted frame with the driver's decoder and write a PNG preview");
    parser->add_option("--size", options->size, "Frame size: " + FrameSizeList())
        ->required()
        ->check(FrameSizeValidator());
    parser
        ->add_option("--png", options->png,
                     "Preview to write: large frames at half resolution (one pixel per "
                     "G B / R G quad), small frames as decoded")
        ->required();
    parser
        ->add_option("--revision", options->revision,
                     "Camera revision the large-frame decoder assumes (0..255; default 0)")
        ->check(CLI::Range(0, 255));
    parser
        ->add_option("FRAME", options->frame,
                     "Compacted frame file (at most " + std::to_string(RAW_FRAME_BYTES) + " bytes)")
        ->required();
    parser->footer("Exit status: 0 decoded, 1 the frame does not decode, 2 usage or I/O error.");
    return {parser, [options] { RunInspect(*options); }};
}

} // namespace kald::tool
