// kald encode: turns a PNG picture, or the built-in test scene, into the
// compacted frame the camera would send for it.
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "core/camera_context.h"
#include "file_io.h"
#include "frame_size.h"
#include "image_io.h"
#include "kald_sim/frame_encoder.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

struct EncodeOptions {
    std::string size;
    std::string scene;
    int revision = 0;
    std::vector<std::string> paths; // IN.png OUT.bin, or OUT.bin with --scene
};

void RunEncode(const EncodeOptions& options)
{
    const FrameSize size = *ParseFrameSize(options.size); // checked by the parser

    std::string output;
    sim::RgbImage picture;
    if (!options.scene.empty()) {
        if (options.paths.size() != 1) {
            throw UsageError(
                "with --scene give only the output file: kald encode --size WxH --scene " +
                options.scene + " OUT.bin");
        }
        output = options.paths[0];
        picture = sim::RenderTestScene(size.width, size.height);
    } else {
        if (options.paths.size() != 2) {
            throw UsageError(
                "give an input picture and an output file: kald encode --size WxH IN.png "
                "OUT.bin (or --scene default OUT.bin)");
        }
        output = options.paths[1];
        picture = sim::FitToSize(ReadPng(options.paths[0]), size.width, size.height);
    }

    // The camera measures its statistics on the sensor mosaic whatever the
    // frame format.
    const std::vector<uint8_t> mosaic = sim::MosaicFromRgb(picture);
    const sim::FrameStatistics statistics = sim::MeasureStatistics(mosaic, size.width, size.height);

    std::vector<uint8_t> frame;
    if (size.large) {
        sim::LargeFrameEncoder encoder(size.width, size.height, uint8_t(options.revision));
        frame = encoder.Encode(mosaic, statistics);
    } else {
        sim::SmallFrameEncoder encoder(size.width, size.height);
        frame = encoder.Encode(picture, statistics);
    }
    if (frame.size() > RAW_FRAME_BYTES) {
        throw UsageError("the encoded frame is " + std::to_string(frame.size()) +
                         " bytes, more than the camera's raw frame buffer holds (" +
                         std::to_string(RAW_FRAME_BYTES) + " bytes)");
    }
    WriteFileAtomically(output, frame);
}

} // namespace

Subcommand AddEncodeCommand(CLI::App& kald)
{
    auto options = std::make_shared<EncodeOptions>();
    CLI::App* parser = kald.add_subcommand(
        "encode", "Encode a PNG picture, or a built-in scene, into a compacted camera frame");
    parser->footer("Examples:\n"
                   "  kald encode --size 320x240 picture.png frame.bin\n"
                   "  kald encode --size 352x288 --scene default frame.bin");
    parser->add_option("--size", options->size, "Frame size: " + FrameSizeList())
        ->required()
        ->check(FrameSizeValidator());
    parser->add_option("--scene", options->scene, "Encode a built-in scene instead of a picture")
        ->check(CLI::IsMember({"default"}));
    parser
        ->add_option("--revision", options->revision,
                     "Camera revision the large-frame encoder codes for (0..255; default 0)")
        ->check(CLI::Range(0, 255));
    parser->add_option("FILES", options->paths, "IN.png OUT.bin, or OUT.bin alone with --scene");
    return {parser, [options] { RunEncode(*options); }};
}

} // namespace kald::tool
