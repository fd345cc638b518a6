// Whole-file reads and atomic writes. Errors come back as ToolError
// (kExitUsage) with a message naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kald::tool {

// Reads the whole file. A file longer than maxBytes is an error whose message
// says what the limit is for (`what`, e.g. "the raw frame buffer").
std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t maxBytes,
                                   const std::string& what);

// Writes bytes to a temporary file next to `path` and renames it into place,
// so `path` holds either its old content or all of the new one, never a
// partial file. The temporary file is removed on every failure.
void WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

} // namespace kald::tool
