// How a subcommand joins the kald program: it adds its parser to the
// top-level app and hands back what to run when it was chosen.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace kald::tool {

struct Subcommand {
    CLI::App* parser;          // owned by the top-level app
    std::function<void()> run; // runs after a successful parse; throws ToolError
};

Subcommand AddEncodeCommand(CLI::App& kald);
Subcommand AddInspectCommand(CLI::App& kald);
Subcommand AddDecodeCommand(CLI::App& kald);
Subcommand AddCtrlCommand(CLI::App& kald);
Subcommand AddCaptureCommand(CLI::App& kald);
Subcommand AddPagesCommand(CLI::App& kald);

} // namespace kald::tool
