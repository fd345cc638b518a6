// kald capture: a simulated camera driven through the whole stack, the way a
// capture application drives a real one. The driver is loaded by the host
// stream class with the settings of the registry file; --set controls go
// through property requests; the stream is opened with a format the driver
// intersects; the bus runs on the virtual clock and every completed read is
// kept. What the camera looks at (scene, light, mains flicker) and the
// faults on its isochronous pipe are set on the simulated camera.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "camera_session.h"
#include "capture_engine.h"
#include "capture_output.h"
#include "controls/properties.h"
#include "frame_size.h"
#include "image_io.h"
#include "json_writer.h"
#include "kald_sim/camera.h"
#include "kald_sim/lighting.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDefaultFrames = 90;
constexpr uint64_t kMaxFrames = 1000000;
constexpr double kMaxSeconds = 86400;
constexpr double kMaxLight = 1000;
// A --frames run gives up after this much camera time beyond four frame
// intervals per frame: the first frame alone needs the skipped packets and
// a collected frame.
constexpr uint64_t kFrameLimitSlackMilliseconds = 5000;
constexpr double kProgressSeconds = 0.25;

struct CaptureOptions {
    std::string size = "352x288";
    unsigned fps = 0;
    uint64_t frames = kDefaultFrames;
    double seconds = 0;
    std::string out;
    std::string snapshot;
    std::string stats;
    std::string usbLog;
    std::string outDir;
    std::string scene = "default";
    double light = 1.0;
    double colourTemp = kald::sim::kNeutralKelvin;
    std::string flicker = "off";
    std::vector<std::string> sets;
    std::string faults;
    std::string registry;
    bool realtime = false;
    // Which of the options with defaults were given.
    bool fpsGiven = false;
    bool framesGiven = false;
    bool secondsGiven = false;
};

// --faults: a probability per fault kind, and the camera's seed.
struct FaultKindName {
    const char* name;
    kald::sim::PacketFault kind;
};
constexpr FaultKindName kFaultKinds[] = {
    {"loss", kald::sim::PacketFault::Lost},
    {"repeat", kald::sim::PacketFault::Repeated},
    {"reorder", kald::sim::PacketFault::Reordered},
    {"truncate", kald::sim::PacketFault::Truncated},
    {"empty", kald::sim::PacketFault::ZeroLength},
    {"corrupt", kald::sim::PacketFault::ErrorStatus},
};

struct FaultPlan {
    std::map<kald::sim::PacketFault, double> rates;
    std::optional<uint64_t> seed;
};

std::string FaultKindList()
{
    std::string list;
    for (const FaultKindName& k : kFaultKinds) {
        list += std::string(list.empty() ? "" : ", ") + k.name;
    }
    return list + " or seed";
}

FaultPlan ParseFaults(const std::string& text)
{
    FaultPlan plan;
    std::map<std::string, bool> seen;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        const size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            throw UsageError("--faults: '" + item +
                             "' is not KIND=VALUE (kinds: " + FaultKindList() + ")");
        }
        const std::string name = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        if (seen[name]) {
            throw UsageError("--faults: '" + name + "' is given twice");
        }
        seen[name] = true;
        const char* first = value.data();
        const char* last = value.data() + value.size();
        if (name == "seed") {
            uint64_t seed = 0;
            const auto [end, error] = std::from_chars(first, last, seed);
            if (error != std::errc() || end != last || value.empty()) {
                throw UsageError("--faults: seed '" + value + "' is not a whole number");
            }
            plan.seed = seed;
            continue;
        }
        const FaultKindName* kind = nullptr;
        for (const FaultKindName& k : kFaultKinds) {
            kind = name == k.name ? &k : kind;
        }
        if (kind == nullptr) {
            throw UsageError("--faults: unknown fault '" + name + "' (kinds: " + FaultKindList() +
                             ")");
        }
        double probability = 0;
        const auto [end, error] = std::from_chars(first, last, probability);
        if (error != std::errc() || end != last || value.empty() || !std::isfinite(probability) ||
            probability < 0 || probability > 1) {
            throw UsageError("--faults: " + name + "=" + value +
                             " is not a probability between 0 and 1");
        }
        plan.rates[kind->kind] = probability;
    }
    return plan;
}

// The picture a run shows the camera, read before anything runs.
struct SceneChoice {
    enum class Kind : uint8_t { Default, Bars, Picture } kind = Kind::Default;
    kald::sim::RgbImage picture;
};

SceneChoice ReadScene(const std::string& scene)
{
    SceneChoice choice;
    if (scene == "default") {
        return choice;
    }
    if (scene == "bars") {
        choice.kind = SceneChoice::Kind::Bars;
        return choice;
    }
    choice.kind = SceneChoice::Kind::Picture;
    choice.picture = ReadPng(scene);
    return choice;
}

// The rate the client asks for: the format's fastest unless given, which is
// 15 frames/s for the mosaic sizes and 30 for the small ones.
unsigned ClientRate(const CaptureOptions& options, const FrameSize& size)
{
    const unsigned fastest = size.large ? 15 : 30;
    if (!options.fpsGiven) {
        return fastest;
    }
    if (options.fps < 1 || options.fps > fastest) {
        throw UsageError("--fps " + std::to_string(options.fps) + " is out of range for " +
                         options.size + " (1.." + std::to_string(fastest) + ")");
    }
    return options.fps;
}

void CheckNumbers(const CaptureOptions& options)
{
    if (options.framesGiven && (options.frames < 1 || options.frames > kMaxFrames)) {
        throw UsageError("--frames " + std::to_string(options.frames) + " is out of range (1.." +
                         std::to_string(kMaxFrames) + ")");
    }
    if (options.secondsGiven && !(options.seconds >= 0.001 && options.seconds <= kMaxSeconds)) {
        throw UsageError("--seconds must be between 0.001 and " + std::to_string(int(kMaxSeconds)) +
                         " seconds of camera time");
    }
    if (!(options.light >= 0 && options.light <= kMaxLight)) {
        throw UsageError("--light must be between 0 and " + std::to_string(int(kMaxLight)));
    }
    if (!(options.colourTemp >= kald::sim::kMinKelvin &&
          options.colourTemp <= kald::sim::kMaxKelvin)) {
        throw UsageError("--colour-temp must be between " +
                         std::to_string(int(kald::sim::kMinKelvin)) + " and " +
                         std::to_string(int(kald::sim::kMaxKelvin)) + " kelvin");
    }
}

// Where each output goes: relative paths under --out-dir, which must exist.
struct OutputPaths {
    std::string video;
    std::string snapshot;
    std::string stats;  // empty: none
    std::string usbLog; // empty: none
};

OutputPaths ResolveOutputs(const CaptureOptions& options)
{
    fs::path dir = options.outDir.empty() ? fs::path(".") : fs::path(options.outDir);
    if (!options.outDir.empty()) {
        std::error_code error;
        if (!fs::is_directory(dir, error)) {
            throw UsageError("output directory '" + options.outDir +
                             "' does not exist or is not a directory");
        }
    }
    const auto place = [&](const std::string& given, const char* fallback) -> std::string {
        const fs::path path = given.empty() ? fs::path(fallback) : fs::path(given);
        if (path.is_absolute() || options.outDir.empty()) {
            return path.string();
        }
        return (dir / path).string();
    };
    OutputPaths paths;
    paths.video = place(options.out, "capture.y4m");
    paths.snapshot = place(options.snapshot, "snapshot.png");
    paths.stats = options.stats.empty() ? "" : place(options.stats, "");
    paths.usbLog = options.usbLog.empty() ? "" : place(options.usbLog, "");
    if (!ContainerFor(paths.video)) {
        throw UsageError("--out '" + paths.video +
                         "': use .y4m (YUV4MPEG2) or .i420 / .yuv (raw I420 frames)");
    }
    if (fs::path(paths.snapshot).extension() != ".png") {
        throw UsageError("--snapshot '" + paths.snapshot + "': the snapshot is a .png picture");
    }
    return paths;
}

// The registry file is written back at the end of the run; a named one
// whose directory is missing or closed would fail only then, after the
// whole capture. (The default place is created when it is first written.)
void CheckRegistryDirectory(const std::string& given)
{
    if (given.empty()) {
        return;
    }
    fs::path parent = fs::path(given).parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    std::error_code error;
    if (!fs::is_directory(parent, error) || ::access(parent.c_str(), W_OK | X_OK) != 0) {
        throw UsageError("cannot write the registry file '" + given + "': the directory '" +
                         parent.string() + "' does not exist or cannot be written");
    }
}

// Two names for one file would have one output overwrite another.
void CheckDistinct(const std::vector<std::pair<std::string, std::string>>& named)
{
    std::map<fs::path, std::string> seen;
    for (const auto& [what, path] : named) {
        if (path.empty()) {
            continue;
        }
        std::error_code error;
        fs::path key = fs::weakly_canonical(fs::absolute(path, error), error);
        if (error) {
            key = fs::absolute(path).lexically_normal();
        }
        const auto [other, added] = seen.emplace(key, what);
        if (!added) {
            throw UsageError(what + " and " + other->second + " name the same file '" + path + "'");
        }
    }
}

// One completed read as the report keeps it.
struct FrameRecord {
    uint64_t cameraMilliseconds;
    ULONG bytes;
    FrameFate fate;
    double meanY;
    unsigned aeLuma;
};

// The progress line, on stderr when it is a terminal.
class ProgressLine {
  public:
    explicit ProgressLine(CaptureEngine& engine)
        : engine_(engine), enabled_(::isatty(STDERR_FILENO) == 1)
    {
    }
    ~ProgressLine()
    {
        if (shown_) {
            std::cerr << "\n";
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Update(const CaptureProgress& progress, bool force = false)
    {
        if (!enabled_ || (!force && progress.wallSeconds < nextSeconds_)) {
            return;
        }
        nextSeconds_ = progress.wallSeconds + kProgressSeconds;
        const DroppedFrames dropped = engine_.QueryDroppedFrames();
        const double rate =
            progress.wallSeconds > 0 ? double(progress.delivered) / progress.wallSeconds : 0.0;
        char line[160];
        std::snprintf(line, sizeof line,
                      "\rkald capture: %llu frames, %.2f s camera time, %.1f frames/s, "
                      "%llu damaged, %llu dropped\033[K",
                      static_cast<unsigned long long>(progress.delivered),
                      double(progress.cameraMilliseconds) / 1000.0, rate,
                      static_cast<unsigned long long>(progress.replaced + progress.failed),
                      static_cast<unsigned long long>(dropped.dropCount));
        std::cerr << line << std::flush;
        shown_ = true;
    }

  private:
    CaptureEngine& engine_;
    bool enabled_;
    bool shown_ = false;
    double nextSeconds_ = 0;
};

// What a finished run reports.
struct RunReport {
    std::string size;
    unsigned framesPerSecond = 0;
    unsigned cameraFramesPerSecond = 0;
    double light = 0;
    double cameraLight = 0;
    std::string registryFile;
    CaptureProgress progress;
    DroppedFrames dropped;
    std::vector<FrameRecord> frames; // when --stats is given
    std::optional<FrameRecord> last; // the last delivered frame
    std::vector<DiagnosticsValue> diagnostics;
    std::vector<std::pair<std::string, LONG>> controls;
    kald::sim::CameraStats camera;
    bool faultsGiven = false;
};

const DiagnosticsValue* Diagnostic(const RunReport& report, ULONG id)
{
    for (const DiagnosticsValue& value : report.diagnostics) {
        if (value.id == id) {
            return &value;
        }
    }
    return nullptr;
}

// The values DIAG_EXPOSURE and DIAG_WHITE_BALANCE carry.
struct Reached {
    unsigned shutter = 0;
    unsigned gain = 0;
    int exposureIndex = 0;
    unsigned redGain = 0;
    unsigned blueGain = 0;
};

Reached ReachedValues(const RunReport& report)
{
    Reached reached;
    if (const DiagnosticsValue* exposure = Diagnostic(report, DIAG_EXPOSURE)) {
        reached.shutter = exposure->value1 & 0xFFFF;
        reached.gain = exposure->value1 >> 16;
        reached.exposureIndex = int16_t(exposure->value2 >> 16);
    }
    if (const DiagnosticsValue* balance = Diagnostic(report, DIAG_WHITE_BALANCE)) {
        reached.redGain = balance->value1 & 0xFFFF;
        reached.blueGain = balance->value1 >> 16;
    }
    return reached;
}

std::vector<std::pair<const char*, uint64_t>> InjectedFaults(const kald::sim::CameraStats& s)
{
    return {
        {"loss", s.LostPackets},
        {"repeat", s.RepeatedPackets},
        {"reorder", s.ReorderedPackets},
        {"truncate", s.TruncatedPackets},
        {"empty", s.ZeroLengthPackets},
        {"corrupt", s.ErrorStatusPackets},
        {"frames_with_faults", s.FramesWithFaults},
    };
}

std::string StatsJson(const RunReport& report)
{
    const Reached reached = ReachedValues(report);
    JsonWriter json;
    json.BeginObject();
    json.Key("size").String(report.size);
    json.Key("fps").Unsigned(report.framesPerSecond);
    json.Key("camera_fps").Unsigned(report.cameraFramesPerSecond);
    json.Key("light").Number(report.light);
    json.Key("camera_light").Number(report.cameraLight, 6);
    json.Key("registry_file").String(report.registryFile);
    json.Key("camera_seconds").Number(double(report.progress.cameraMilliseconds) / 1000.0);

    // frames_delivered counts every read with a picture, the replaced ones
    // included; frames_failed the reads that came back without one.
    json.Key("frames_delivered").Unsigned(report.progress.delivered);
    json.Key("frames_dropped").Unsigned(report.dropped.dropCount);
    json.Key("frames_replaced").Unsigned(report.progress.replaced);
    json.Key("frames_failed").Unsigned(report.progress.failed);
    json.Key("picture_number").Unsigned(report.dropped.pictureNumber);

    json.Key("exposure_index").Integer(reached.exposureIndex);
    json.Key("shutter").Unsigned(reached.shutter);
    json.Key("gain").Unsigned(reached.gain);
    json.Key("red_gain").Unsigned(reached.redGain);
    json.Key("blue_gain").Unsigned(reached.blueGain);
    json.Key("mean_luma");
    if (report.last) {
        json.Number(report.last->meanY);
    } else {
        json.Null();
    }

    json.Key("controls").BeginObject();
    for (const auto& [name, value] : report.controls) {
        json.Key(name).Integer(value);
    }
    json.EndObject();

    json.Key("faults_injected").BeginObject();
    for (const auto& [name, count] : InjectedFaults(report.camera)) {
        json.Key(name).Unsigned(count);
    }
    json.EndObject();

    json.Key("camera").BeginObject();
    json.Key("frames_started").Unsigned(report.camera.FramesStarted);
    json.Key("frames_sent").Unsigned(report.camera.FramesSent);
    json.Key("frames_reduced").Unsigned(report.camera.FramesReduced);
    json.Key("frames_cut").Unsigned(report.camera.FramesCut);
    json.Key("data_packets").Unsigned(report.camera.DataPackets);
    json.Key("control_transfers").Unsigned(report.camera.Transfers);
    json.EndObject();

    json.Key("diagnostics").BeginObject();
    for (const DiagnosticsValue& value : report.diagnostics) {
        json.Key(value.name).BeginObject(true);
        json.Key("id").Unsigned(value.id);
        json.Key("value1").Unsigned(value.value1);
        json.Key("value2").Unsigned(value.value2);
        json.EndObject();
    }
    json.EndObject();

    json.Key("frames").BeginArray();
    for (const FrameRecord& frame : report.frames) {
        json.BeginObject(true);
        json.Key("bytes").Unsigned(frame.bytes);
        json.Key("fate").String(FateName(frame.fate));
        json.Key("mean_y");
        if (frame.fate == FrameFate::Failed) {
            json.Null();
        } else {
            json.Number(frame.meanY);
        }
        json.Key("ae_luma").Unsigned(frame.aeLuma);
        json.Key("camera_ms").Unsigned(frame.cameraMilliseconds);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text();
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(value));
    return text;
}

void PrintSummary(const RunReport& report)
{
    const Reached reached = ReachedValues(report);
    const auto line = [](const std::string& name, const std::string& value) {
        std::printf("%-22s %s\n", name.c_str(), value.c_str());
    };
    char text[128];
    std::snprintf(text, sizeof text, "%s at %u frames/s (camera %u frames/s), %.2f s camera time",
                  report.size.c_str(), report.framesPerSecond, report.cameraFramesPerSecond,
                  double(report.progress.cameraMilliseconds) / 1000.0);
    line("capture", text);
    line("frames delivered", std::to_string(report.progress.delivered));
    line("frames dropped", std::to_string(report.dropped.dropCount));
    line("frames replaced", std::to_string(report.progress.replaced));
    line("frames failed", std::to_string(report.progress.failed) + " (did not decode)");
    line("exposure index", std::to_string(reached.exposureIndex));
    line("shutter", std::to_string(reached.shutter) + " rows");
    line("gain", std::to_string(reached.gain));
    line("white balance gains",
         "red " + std::to_string(reached.redGain) + ", blue " + std::to_string(reached.blueGain));
    if (report.last) {
        std::snprintf(text, sizeof text, "%.1f (last frame; controller luma %u)",
                      report.last->meanY, report.last->aeLuma);
        line("mean luma", text);
    } else {
        line("mean luma", "- (no frame delivered)");
    }
    if (report.faultsGiven) {
        std::string faults;
        for (const auto& [name, count] : InjectedFaults(report.camera)) {
            faults +=
                (faults.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
        }
        line("faults injected", faults);
    }
    line("settings saved to", report.registryFile);
    std::printf("diagnostics\n");
    for (const DiagnosticsValue& value : report.diagnostics) {
        line("  " + std::string(value.name), Hex(value.value1) + " " + Hex(value.value2));
    }
    std::fflush(stdout);
}

void DrainUsbLog(kald::sim::Camera& camera, OutputFile* log)
{
    if (log != nullptr) {
        for (const std::string& entry : camera.FormattedLog()) {
            log->Write(entry);
            log->Write(std::string_view("\n"));
        }
    }
    // The camera keeps every transfer until told otherwise.
    camera.ClearLogs();
}

void RunCapture(const CaptureOptions& options)
{
    // Everything is checked, read and opened before the camera runs.
    const FrameSize size = *ParseFrameSize(options.size); // checked by the parser
    const unsigned rate = ClientRate(options, size);
    CheckNumbers(options);
    if (options.framesGiven && options.secondsGiven) {
        throw UsageError("give --frames or --seconds, not both");
    }
    const FaultPlan faults = ParseFaults(options.faults);
    std::vector<ControlSetting> settings;
    for (const std::string& text : options.sets) {
        settings.push_back(ParseControlSetting(text));
    }
    const SceneChoice scene = ReadScene(options.scene);
    const std::string registryFile = RegistryFilePath(options.registry);
    CheckRegistryDirectory(options.registry);
    const OutputPaths paths = ResolveOutputs(options);
    CheckDistinct({{"--out", paths.video},
                   {"--snapshot", paths.snapshot},
                   {"--stats", paths.stats},
                   {"--usb-log", paths.usbLog},
                   {"the registry file", registryFile}});

    OutputFile video(paths.video);
    OutputFile snapshot(paths.snapshot);
    std::optional<OutputFile> stats;
    if (!paths.stats.empty()) {
        stats.emplace(paths.stats);
    }
    std::optional<OutputFile> usbLog;
    if (!paths.usbLog.empty()) {
        usbLog.emplace(paths.usbLog);
    }
    const VideoContainer container = *ContainerFor(paths.video);
    if (container == VideoContainer::Y4m) {
        video.Write(Y4mHeader(size.width, size.height, rate));
    }

    kald::sim::CameraConfig config;
    if (faults.seed) {
        config.Seed = *faults.seed;
    }
    kald::sim::Camera camera(config);
    switch (scene.kind) {
    case SceneChoice::Kind::Default:
        camera.SetTestScene();
        break;
    case SceneChoice::Kind::Bars:
        camera.SetColourBars();
        break;
    case SceneChoice::Kind::Picture:
        camera.SetScene(scene.picture);
        break;
    }
    camera.SetColourTemperature(options.colourTemp);
    if (options.flicker != "off") {
        camera.SetMainsFlicker(options.flicker == "50" ? 50 : 60);
    }
    for (const auto& [kind, probability] : faults.rates) {
        camera.SetPacketFaultRate(kind, probability);
    }

    RunReport report;
    report.size = options.size;
    report.framesPerSecond = rate;
    report.light = options.light;
    report.registryFile = registryFile;
    report.faultsGiven = !faults.rates.empty();
    std::vector<uint8_t> lastPicture;
    {
        CameraSession session(registryFile, camera);
        for (const ControlSetting& setting : settings) {
            const NTSTATUS status = session.Set(*setting.control, setting.value);
            if (!NT_SUCCESS(status)) {
                throw UsageError(std::string(setting.control->name) + "=" +
                                 std::to_string(setting.value) +
                                 ": the driver refused it: " + StatusText(status));
            }
        }
        // The driver reloads its stored settings when the stream starts, so
        // the values set now are saved first to be the ones it loads.
        if (!settings.empty()) {
            const NTSTATUS status = session.SaveSettings();
            if (!NT_SUCCESS(status)) {
                throw UsageError("saving the settings failed: " + StatusText(status));
            }
        }

        CaptureEngine engine(session.Bus(), session.Device(), camera);
        CaptureRequest request;
        request.width = size.width;
        request.height = size.height;
        request.framesPerSecond = rate;
        request.realtime = options.realtime;
        if (options.secondsGiven) {
            request.milliseconds = uint64_t(std::llround(options.seconds * 1000.0));
        } else {
            request.frames = options.frames;
            request.limitMilliseconds =
                kFrameLimitSlackMilliseconds + options.frames * 4 * 1000 / rate;
        }
        engine.Open(request);
        engine.Start();
        // Values the stream start's reload replaced (controls that are not
        // stored, or values outside the stored range) are set again for
        // this run.
        for (const ControlSetting& setting : settings) {
            if (!KeptBetweenRuns(*setting.control, setting.value)) {
                const NTSTATUS status = session.Set(*setting.control, setting.value);
                if (!NT_SUCCESS(status)) {
                    throw UsageError(
                        std::string(setting.control->name) + "=" + std::to_string(setting.value) +
                        ": the driver refused it once streaming: " + StatusText(status));
                }
            }
        }
        const kald::sim::FrameTiming timing = engine.CameraTiming();
        report.cameraFramesPerSecond = timing.FramesPerSecond;
        report.cameraLight = CameraLightLevel(options.light, timing);
        camera.SetLight(report.cameraLight);

        const size_t frameBytes = size_t(size.width) * size_t(size.height) * 3 / 2;
        ProgressLine progressLine(engine);
        uint64_t nextDrainMs = 1000;
        CaptureEngine::Observer observer;
        observer.onFrame = [&](const CapturedFrame& frame) {
            const FrameRecord record{frame.cameraMilliseconds, frame.bytes, frame.fate, frame.meanY,
                                     frame.aeLuma};
            if (stats) {
                report.frames.push_back(record);
            }
            if (frame.fate == FrameFate::Failed) {
                return;
            }
            report.last = record;
            const std::span<const uint8_t> picture =
                frame.picture.first(std::min(frame.picture.size(), frameBytes));
            if (container == VideoContainer::Y4m) {
                video.Write(kY4mFrameHeader);
            }
            video.Write(picture);
            lastPicture.assign(picture.begin(), picture.end());
        };
        observer.onStep = [&](const CaptureProgress& progress) {
            progressLine.Update(progress);
            if (progress.cameraMilliseconds >= nextDrainMs) {
                DrainUsbLog(camera, usbLog ? &*usbLog : nullptr);
                nextDrainMs = progress.cameraMilliseconds + 1000;
            }
        };
        report.progress = engine.Run(observer);
        progressLine.Update(report.progress, true);

        // What the run reached, read through property requests while it
        // still streams.
        report.diagnostics = session.ReadDiagnostics();
        for (const ControlInfo& control : Controls()) {
            LONG value = 0;
            if (NT_SUCCESS(session.Get(control, &value))) {
                report.controls.emplace_back(control.name, value);
            }
        }
        report.dropped = engine.QueryDroppedFrames();
        // Stopping frees the bandwidth, where the driver saves its settings;
        // the registry file then keeps them.
        engine.Stop();
        engine.Close();
        session.SaveRegistryFile();
    }
    DrainUsbLog(camera, usbLog ? &*usbLog : nullptr); // the tear-down's transfers too
    report.camera = camera.Stats();

    if (stats) {
        stats->Write(StatsJson(report));
        stats->Commit();
    }
    if (usbLog) {
        usbLog->Commit();
    }
    video.Commit();
    if (!lastPicture.empty()) {
        snapshot.Write(EncodePng(RgbFromI420(lastPicture, size.width, size.height)));
        snapshot.Commit();
    }
    PrintSummary(report);

    if (!report.progress.reachedTarget) {
        throw ToolError(kExitBadFrame,
                        "only " + std::to_string(report.progress.delivered) + " of " +
                            std::to_string(options.frames) + " frames were delivered in " +
                            std::to_string(report.progress.cameraMilliseconds / 1000) +
                            " s of camera time");
    }
    if (lastPicture.empty()) {
        throw ToolError(kExitBadFrame, "no frame was delivered, so there is no snapshot");
    }
}

} // namespace

Subcommand AddCaptureCommand(CLI::App& kald)
{
    auto options = std::make_shared<CaptureOptions>();
    CLI::App* parser = kald.add_subcommand(
        "capture", "Capture video from a simulated camera through the driver and the host "
                   "stream class");
    CaptureOptions& o = *options;
    parser->add_option("--size", o.size, "Frame size: " + FrameSizeList() + " (default 352x288)")
        ->check(FrameSizeValidator());
    CLI::Option* fps = parser->add_option(
        "--fps", o.fps,
        "Frame rate the client asks for (default the size's fastest: 15 for 352x288 and "
        "320x240, 30 for 176x144 and 160x120)");
    CLI::Option* frames = parser->add_option("--frames", o.frames,
                                             "Stop after this many delivered frames (default 90)");
    CLI::Option* seconds =
        parser->add_option("--seconds", o.seconds, "Stop after this much camera time instead");
    frames->excludes(seconds);
    parser->add_option("--out", o.out,
                       "Video file: .y4m (YUV4MPEG2 4:2:0, C420jpeg) or .i420/.yuv (raw I420 "
                       "frames); default capture.y4m");
    parser->add_option("--snapshot", o.snapshot,
                       "The last delivered frame as an RGB PNG (default snapshot.png)");
    parser->add_option("--stats", o.stats,
                       "Write the summary as JSON, with one record per completed read");
    parser->add_option("--usb-log", o.usbLog,
                       "Write every control transfer between driver and camera, one a line: "
                       "'OUT RRRR VVVV' or 'IN RRRR BB', a failure status after them");
    parser->add_option("--out-dir", o.outDir,
                       "Existing directory for the outputs with default or relative names "
                       "(default the current directory)");
    parser->add_option("--scene", o.scene,
                       "What the camera looks at: default, bars or a PNG picture (default "
                       "default)");
    parser->add_option("--light", o.light,
                       "Illumination; 1 (the default) is the light in which a fresh camera's "
                       "starting exposure (index 69 of the table of the camera's frame rate) "
                       "meets the exposure target on the default scene, at unity colour gains");
    parser->add_option("--colour-temp", o.colourTemp,
                       "Colour temperature of the light in kelvin (1500..20000, default 5500)");
    parser
        ->add_option("--flicker", o.flicker,
                     "Fluorescent light on 50 or 60 Hz mains, or off (steady light; the default)")
        ->check(CLI::IsMember({"50", "60", "off"}));
    parser
        ->add_option("--set", o.sets,
                     "Set a control (any of 'kald ctrl --list') by a property request before "
                     "streaming; repeatable")
        ->type_name("NAME=VALUE");
    parser->add_option("--faults", o.faults,
                       "Faults on the isochronous pipe, each a probability per packet: "
                       "loss, repeat, reorder, truncate, empty, corrupt; and seed=N for the "
                       "camera's random generator, e.g. loss=0.01,corrupt=0.001,seed=7");
    parser->add_option("--registry", o.registry,
                       "Registry file of the driver's settings (default "
                       "$XDG_CONFIG_HOME/kald/registry.reg or ~/.config/kald/registry.reg)");
    parser->add_flag("--realtime", o.realtime,
                     "Run at the camera's pace (by default as fast as the machine allows)");
    parser->footer(
        "The driver keeps its settings as a real one does: --set values are saved before the "
        "stream starts (the driver reloads its stored settings then), and stopping the stream "
        "saves the settings again, so the registry file is written back at the end of every "
        "run, --set values and the exposure and white balance reached included. Controls "
        "that are not stored (gain, exposure-time) hold for this run only.\n"
        "Examples:\n"
        "  kald capture\n"
        "  kald capture --size 176x144 --seconds 10 --light 0.3 --stats stats.json\n"
        "  kald capture --faults loss=0.01,seed=7 --set brightness=150 --out run.yuv\n"
        "Exit status: 0 the capture ran, 1 the camera delivered fewer frames than asked or none "
        "(the outputs hold what came) or the driver refused the stream, 2 usage or I/O error "
        "(nothing is written).");
    return {parser, [options, fps, frames, seconds] {
                options->fpsGiven = fps->count() > 0;
                options->framesGiven = frames->count() > 0;
                options->secondsGiven = seconds->count() > 0;
                RunCapture(*options);
            }};
}

} // namespace kald::tool
