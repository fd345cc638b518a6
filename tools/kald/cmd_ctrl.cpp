// kald ctrl: lists, reads and changes the camera's stored controls through
// the driver's property requests, and keeps them in the registry file that
// every camera run loads.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "camera_session.h"
#include "controls/properties.h"
#include "kald_sim/camera.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

struct CtrlOptions {
    std::string registry;
    bool list = false;
    std::vector<std::string> get;
    std::vector<std::string> set;
    std::string restore;
};

// "extension 4": the property set by its short name and the id in it.
std::string PropertyText(const ControlInfo& control)
{
    struct NamedSet {
        const GUID* set;
        const char* name;
    };
    const NamedSet sets[] = {
        {&CameraExtensionPropertySet, "extension"},
        {&CameraDiagnosticsPropertySet, "diagnostics"},
        {&AutoControlPropertySet, "auto-control"},
        {&VideoProcAmpPropertySet, "procamp"},
    };
    const char* name = "unknown";
    for (const NamedSet& named : sets) {
        if (std::memcmp(named.set, control.set, sizeof(GUID)) == 0) {
            name = named.name;
        }
    }
    return std::string(name) + " " + std::to_string(control.id);
}

const ControlInfo& KnownControl(const std::string& name)
{
    if (const ControlInfo* control = FindControl(name)) {
        return *control;
    }
    std::string names;
    for (const ControlInfo& control : Controls()) {
        names += (names.empty() ? "" : ", ") + std::string(control.name);
    }
    throw UsageError("unknown control '" + name + "' (controls: " + names + ")");
}

std::string ValidRange(const ControlInfo& control)
{
    return "valid range " + RangeText(control.minimum, control.maximum);
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        std::cout << line << "\n";
    }
}

void List(CameraSession& session)
{
    std::vector<std::vector<std::string>> rows = {
        {"NAME", "PROPERTY", "RANGE", "DEFAULT", "CURRENT", "DESCRIPTION"}};
    for (const ControlInfo& control : Controls()) {
        LONG value = 0;
        const NTSTATUS status = session.Get(control, &value);
        rows.push_back(
            {control.name, PropertyText(control), RangeText(control.minimum, control.maximum),
             control.defaultValue ? std::to_string(*control.defaultValue) : "-",
             NT_SUCCESS(status) ? std::to_string(value) : StatusText(status), control.description});
    }
    PrintTable(rows);
}

void RunCtrl(const CtrlOptions& options)
{
    // Every argument is checked before the camera or the file is touched.
    const std::string registryFile = RegistryFilePath(options.registry);
    std::vector<const ControlInfo*> gets;
    for (const std::string& name : options.get) {
        gets.push_back(&KnownControl(name));
    }
    std::vector<ControlSetting> sets;
    for (const std::string& text : options.set) {
        const ControlSetting setting = ParseControlSetting(text);
        const ControlInfo& control = *setting.control;
        // Reporting success for a value the next run will not see would
        // lose the user's change without a word.
        if (!control.storedMinimum || !control.storedMaximum) {
            throw UsageError(std::string(control.name) +
                             " is not stored between runs; set it for one capture with "
                             "'kald capture --set " +
                             control.name + "=VALUE'");
        }
        if (!KeptBetweenRuns(control, setting.value)) {
            throw UsageError(std::string(control.name) + ": " + std::to_string(setting.value) +
                             " is not stored between runs (stored range " +
                             RangeText(*control.storedMinimum, *control.storedMaximum) +
                             "); set it for one capture with 'kald capture --set " + control.name +
                             "=" + std::to_string(setting.value) + "'");
        }
        sets.push_back(setting);
    }

    kald::sim::Camera camera;
    CameraSession session(registryFile, camera);

    if (!options.restore.empty() || !sets.empty()) {
        if (!options.restore.empty()) {
            if (NTSTATUS status = session.Restore(options.restore); !NT_SUCCESS(status)) {
                throw UsageError("restoring the " + options.restore +
                                 " defaults failed: the driver answered " + StatusText(status));
            }
        }
        for (const ControlSetting& setting : sets) {
            const ControlInfo& control = *setting.control;
            if (NTSTATUS status = session.Set(control, setting.value); !NT_SUCCESS(status)) {
                throw UsageError(std::string(control.name) + ": setting " +
                                 std::to_string(setting.value) + " failed: the driver answered " +
                                 StatusText(status) + " (" + ValidRange(control) + ")");
            }
        }
        if (NTSTATUS status = session.SaveSettings(); !NT_SUCCESS(status)) {
            throw UsageError("saving the settings failed: the driver answered " +
                             StatusText(status));
        }
        session.SaveRegistryFile();
        if (!options.restore.empty()) {
            std::cout << "restored the " << options.restore << " defaults\n";
        }
        for (const ControlSetting& setting : sets) {
            std::cout << setting.control->name << "=" << setting.value << "\n";
        }
        std::cout << "saved to " << registryFile << "\n";
        return;
    }

    if (!gets.empty()) {
        for (const ControlInfo* control : gets) {
            LONG value = 0;
            if (NTSTATUS status = session.Get(*control, &value); !NT_SUCCESS(status)) {
                throw UsageError(std::string(control->name) +
                                 ": reading it failed: the driver answered " + StatusText(status));
            }
            std::cout << control->name << "=" << value << "\n";
        }
        return;
    }
    List(session);
}

} // namespace

Subcommand AddCtrlCommand(CLI::App& kald)
{
    auto options = std::make_shared<CtrlOptions>();
    CLI::App* parser = kald.add_subcommand(
        "ctrl", "List, read and change the camera's controls through the driver and keep them "
                "in the registry file");
    parser->add_option("--registry", options->registry,
                       "Registry file the settings are kept in (default "
                       "$XDG_CONFIG_HOME/kald/registry.reg or ~/.config/kald/registry.reg)");
    CLI::Option* list = parser->add_flag(
        "--list", options->list,
        "Show every control: name, property, range, default and current value (the default)");
    CLI::Option* get =
        parser->add_option("--get", options->get, "Print the current value of each NAME")
            ->expected(1, -1)
            ->type_name("NAME...");
    CLI::Option* set = parser
                           ->add_option("--set", options->set,
                                        "Set each NAME to VALUE by a property request, then save "
                                        "the settings to the registry file")
                           ->expected(1, -1)
                           ->type_name("NAME=VALUE...");
    CLI::Option* restore =
        parser
            ->add_option("--restore", options->restore,
                         "Restore a group of settings to its defaults (picture, flicker or test), "
                         "then save")
            ->check(CLI::IsMember({"picture", "flicker", "test"}));
    list->excludes(get)->excludes(set)->excludes(restore);
    get->excludes(set)->excludes(restore);
    parser->footer("Controls are named as --list shows them. --set and --restore may be given "
                   "together: the restore comes first. Exit status: 0 done, 2 usage error, a "
                   "value the driver refused or a registry file that cannot be read or written "
                   "(the file is then left as it was).");
    return {parser, [options] { RunCtrl(*options); }};
}

} // namespace kald::tool
