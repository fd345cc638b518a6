// kald: host tools for the camera. Each subcommand registers itself here; a
// parse error or a failed subcommand prints one message on stderr and exits
// with the status of tool_error.h.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "imaging/pixel_kernels.h"
#include "subcommand.h"
#include "tool_error.h"

using namespace kald::tool;

namespace {

// The subcommand name on the command line: the first argument that is not an
// option (the top level takes only flags), or null.
const char* NamedSubcommand(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
            return argv[i];
        }
    }
    return nullptr;
}

// "kald" or "kald encode", for messages.
std::string Prefix(const CLI::App* chosen)
{
    return chosen == nullptr ? "kald" : "kald " + chosen->get_name();
}

} // namespace

int main(int argc, char** argv)
{
    // KALD_FORCE_REFERENCE=1 keeps the driver on its plain reference pixel
    // kernels, so a run can be checked against the same outputs as the fast
    // kernels give.
    const char* forceReference = std::getenv("KALD_FORCE_REFERENCE");
    SelectPixelKernels(forceReference != nullptr && std::strcmp(forceReference, "1") == 0
                           ? PixelKernelsReference
                           : PixelKernelsBest);

    CLI::App kald(
        "Host tools for the camera: encode pictures into camera frames, inspect frames and "
        "decode them through the driver's frame path.",
        "kald");
    kald.set_version_flag("--version", "kald " KALD_VERSION);
    kald.require_subcommand(1);
    kald.footer("Run 'kald SUBCOMMAND --help' for the options of a subcommand.");

    const std::vector<Subcommand> subcommands = {
        AddEncodeCommand(kald),
        AddInspectCommand(kald),
        AddDecodeCommand(kald),
        AddCtrlCommand(kald),
        AddCaptureCommand(kald),
        AddPagesCommand(kald),
    };

    // Left to the parser, an unknown name would be reported as a missing
    // subcommand.
    if (const char* name = NamedSubcommand(argc, argv)) {
        bool known = false;
        for (const Subcommand& subcommand : subcommands) {
            known = known || subcommand.parser->get_name() == name;
        }
        if (!known) {
            std::cerr << "kald: unknown subcommand '" << name << "'\n"
                      << "Run 'kald --help' for the list of subcommands.\n";
            return kExitUsage;
        }
    }

    try {
        kald.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return kald.exit(e); // --help or --version
        }
        const CLI::App* chosen =
            kald.get_subcommands().empty() ? nullptr : kald.get_subcommands()[0];
        std::string message = e.what();
        // Without a subcommand the parser reports the missing subcommand
        // before anything it could not place, which is the real mistake.
        if (chosen == nullptr && !kald.remaining().empty()) {
            message = "unknown option '" + kald.remaining().front() + "'";
        }
        std::cerr << Prefix(chosen) << ": " << message << "\n"
                  << "Run '" << Prefix(chosen) << " --help' for usage.\n";
        return kExitUsage;
    }

    for (const Subcommand& subcommand : subcommands) {
        if (!subcommand.parser->parsed()) {
            continue;
        }
        try {
            subcommand.run();
            return kExitSuccess;
        } catch (const ToolError& e) {
            std::cerr << Prefix(subcommand.parser) << ": " << e.what() << "\n";
            return e.Status();
        } catch (const std::bad_alloc&) {
            std::cerr << Prefix(subcommand.parser) << ": out of memory\n";
            return kExitUsage;
        } catch (const std::exception& e) {
            std::cerr << Prefix(subcommand.parser) << ": " << e.what() << "\n";
            return kExitUsage;
        }
    }
    return kExitUsage; // not reached: the parser requires one subcommand
}
