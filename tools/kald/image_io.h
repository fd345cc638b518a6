// PNG pictures in and out of kald, through libpng. Errors come back as
// ToolError (kExitUsage) with a message naming the file.
#pragma once

#include <string>

#include "kald_sim/image.h"

namespace kald::tool {

// Reads any PNG (grey, palette, 16-bit, with or without alpha) as 8-bit RGB;
// transparent parts are composited onto black.
sim::RgbImage ReadPng(const std::string& path);

// Writes an 8-bit RGB PNG atomically (see WriteFileAtomically).
void WritePng(const std::string& path, const sim::RgbImage& image);

} // namespace kald::tool
