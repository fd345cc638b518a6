// Exit statuses of kald and the error that ends a subcommand with one.
#pragma once

#include <stdexcept>
#include <string>

namespace kald::tool {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitBadFrame = 1, // the frame does not decode
    kExitUsage = 2,    // bad arguments, unreadable input, unwritable output
};

// Thrown by a subcommand to stop with `message` on stderr and `status` as the
// exit status. Nothing is written to an output path once this is thrown.
class ToolError : public std::runtime_error {
public:
    ToolError(int status, const std::string& message) : std::runtime_error(message), status_(status)
    {
    }
    int Status() const { return status_; }

private:
    int status_;
};

// The common case: a usage or I/O error.
inline ToolError UsageError(const std::string& message)
{
    return ToolError(kExitUsage, message);
}

} // namespace kald::tool
