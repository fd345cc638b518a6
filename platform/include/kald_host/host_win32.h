// Test and tool controls of the host Win32 layer (windows.h, setupapi.h):
// the device interfaces that SetupDiGetClassDevsA lists and CreateFileA
// opens, what MessageBoxA showed, faults to inject (a pending or never
// completing DeviceIoControl, a SETUPAPI.DLL that does not load) and the
// handles still open. User-mode code under test never includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host_device.h"
#include "windows.h"

namespace kald::host {

// --- Device interfaces ---

// A device interface published by PublishDeviceInterface or PublishCamera;
// it stays listed until Unpublish (or destruction, or ResetWin32). Device
// sets already taken keep listing it; files opened on it stay open, and
// their requests fail with ERROR_DEVICE_REMOVED once it is gone.
class InterfacePublication {
  public:
    InterfacePublication() = default;
    explicit InterfacePublication(std::vector<uint64_t> ids) : Ids(std::move(ids)) {}
    ~InterfacePublication() { Unpublish(); }
    InterfacePublication(InterfacePublication&& other) noexcept;
    InterfacePublication& operator=(InterfacePublication&& other) noexcept;
    InterfacePublication(const InterfacePublication&) = delete;
    InterfacePublication& operator=(const InterfacePublication&) = delete;

    void Unpublish();
    // The device paths published, in order.
    std::vector<std::string> Paths() const;

  private:
    friend InterfacePublication PublishCamera(HostDevice& device,
                                              const struct CameraInterfaceOptions& options);
    std::vector<uint64_t> Ids;
};

// Publishes one interface of `interfaceClass` for `device` (which must
// outlive the publication; null publishes an interface whose requests fail
// with ERROR_GEN_FAILURE). `hardwareId` is the device's first hardware id
// (it may hold any bytes; SPDRP_HARDWAREID returns it with two NULs
// appended), `devicePath` the path the detail returns and CreateFileA opens
// (matched exactly, up to its first NUL). Interfaces are listed in
// publication order.
InterfacePublication PublishDeviceInterface(HostDevice* device, const GUID& interfaceClass,
                                            const std::string& hardwareId,
                                            const std::string& devicePath);
inline InterfacePublication PublishDeviceInterface(HostDevice& device, const GUID& interfaceClass,
                                                   const std::string& hardwareId,
                                                   const std::string& devicePath)
{
    return PublishDeviceInterface(&device, interfaceClass, hardwareId, devicePath);
}

struct CameraInterfaceOptions {
    std::string hardwareId = "USB\\VID_7A3C&PID_0E41&REV_0100";
    bool videoClass = true;   // KSCATEGORY_VIDEO
    bool captureClass = true; // KSCATEGORY_CAPTURE
    // Instance part of the paths; 0 takes the next camera number (1, 2, ...).
    unsigned instance = 0;
};
// Publishes a camera the way the platform does: one interface in each class
// chosen, paths "\\?\usb#vid_7a3c&pid_0e41#<instance>#{<class guid>}\global".
InterfacePublication PublishCamera(HostDevice& device, const CameraInterfaceOptions& options = {});

// --- Message boxes ---

struct MessageBoxRecord {
    std::string caption;
    std::string text;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();
// What MessageBoxA returns from now on (IDOK until set).
void SetMessageBoxResult(int result);

// --- Faults ---

// The next DeviceIoControl on a device file pends: the request reaches the
// device at once, but the call returns FALSE with ERROR_IO_PENDING and the
// OVERLAPPED's event is signalled `milliseconds` virtual ms later, or never
// for std::nullopt. A call without an OVERLAPPED waits the time out on the
// virtual clock and returns the result (one that never completes fails with
// ERROR_GEN_FAILURE instead of hanging).
void PendNextDeviceIoControl(std::optional<uint32_t> milliseconds);
// LoadLibraryA of SETUPAPI.DLL fails with ERROR_MOD_NOT_FOUND while set.
void FailSetupApiLoad(bool fail);

// --- Accounting ---

struct Win32HandleCounts {
    size_t events = 0;
    size_t files = 0;
    size_t deviceInfoSets = 0;
    size_t modules = 0; // loaded module references not yet freed
    size_t registryKeys = 0; // opened registry keys not yet closed
    size_t Total() const { return events + files + deviceInfoSets + modules + registryKeys; }
};
Win32HandleCounts OpenWin32Handles();
// DeviceIoControl calls that reached a device since the last reset.
size_t DeviceIoControlCount();

// Closes every handle and set, frees the modules, unpublishes every
// interface, forgets the message boxes and the armed faults, and clears the
// calling thread's last error.
void ResetWin32();

} // namespace kald::host

// --- Modules, resources, registry and locale ---

namespace kald::host {

// The user's default locale (GetUserDefaultLCID, and the locale of threads
// that have not set their own); 0x409 until set, and again after ResetWin32,
// which also forgets the calling thread's own locale and SetDllDirectoryA.
void SetUserDefaultLocale(LCID locale);

// One resource of a compiled resource file (.res). Types and names are
// ordinals or strings (UTF-16 code units, as the file has them).
struct ResourceEntry {
    std::optional<uint16_t> typeOrdinal;
    std::u16string typeName; // when not an ordinal
    std::optional<uint16_t> nameOrdinal;
    std::u16string nameName; // when not an ordinal
    uint16_t language = 0;
    size_t dataOffset = 0; // of the data within the image
    size_t dataSize = 0;
};
// Parses a whole .res image: the records up to the end, each checked to lie
// within the image. Returns false, with `entries` cleared, for a malformed
// image (a record or its header running past the end, an unterminated name,
// a header too small for its fields); never reads outside [data, data+size).
// The empty first record is skipped.
bool ParseResourceImage(const uint8_t* data, size_t size, std::vector<ResourceEntry>& entries);

// Text in the ANSI code page (Windows-1252), as the A functions give it, in
// wide characters: for tools that show window texts.
std::wstring WideFromAnsi(std::string_view text);

} // namespace kald::host

// --- COM ---

namespace kald::host {

// A type library as its IDL source describes it.
struct TypeLibraryCoclass {
    std::string name;
    GUID clsid{};
    std::string helpString;
    std::string defaultInterface; // the [default] one, else the first listed
};
struct TypeLibraryDescription {
    GUID libid{};
    std::string name;
    WORD majorVersion = 0;
    WORD minorVersion = 0;
    LCID lcid = 0;
    std::string helpString;
    std::vector<std::string> imports; // importlib("...") names, in order
    std::vector<TypeLibraryCoclass> coclasses;
};

// Parses the IDL subset that the host's type libraries hold: `import`
// lines, then `[uuid(...), version(M.m), helpstring("..."), lcid(n)]
// library NAME { importlib("..."); [uuid(...), helpstring("...")] coclass
// NAME { [default] interface NAME; }; };` with // and /* */ comments. S_OK,
// or TYPE_E_INVDATAREAD for anything malformed (`out` is then unspecified).
HRESULT ParseTypeLibrarySource(const std::string& idl, TypeLibraryDescription& out);

// CoTaskMemAlloc blocks not yet freed, process-wide.
size_t ComTaskMemoryOutstanding();
// BSTRs allocated and not yet freed.
size_t SysStringsOutstanding();
// In-process server modules that CoGetClassObject loaded and still holds.
size_t LoadedComServers();

// Frees every server module held and forgets every thread's
// initialisation; task memory and BSTRs still allocated stay valid and
// counted. ResetWin32 calls it.
void ResetCom();

} // namespace kald::host

// --- Windows and dialogs ---

namespace kald::host {

// What a user's drag of a trackbar's thumb delivers: for each position the
// trackbar moves there (clamped into its range) and sends its parent
// WM_HSCROLL (WM_VSCROLL for TBS_VERT) with MAKEWPARAM(TB_THUMBTRACK, pos);
// then TB_THUMBPOSITION at the last position and TB_ENDTRACK. The
// trackbar takes the focus first. A disabled trackbar (or one inside a
// disabled window) ignores it, as does an empty drag.
void DragTrackbar(HWND trackbar, const std::vector<int>& positions);

// CreateDialogIndirectParamA over a template of `size` bytes, never
// reading past them (the platform call takes no size, so it can only trust
// the template's own structure).
HWND CreateDialogFromMemory(HINSTANCE instance, const void* data, size_t size, HWND parent,
                            DLGPROC proc, LPARAM param);

// A user's click on a control: BM_CLICK, unless the control or a window
// it lies in is disabled, in which case nothing happens.
void ClickControl(HWND control);

// The most messages PumpMessages dispatches in one call; reaching it means
// some window never validates its update region or keeps posting.
inline constexpr size_t kPumpMessageLimit = 100000;

// Dispatches this thread's posted messages and pending paints until none
// is left, or kPumpMessageLimit were dispatched (then it says so on
// stderr). WM_QUIT stays for GetMessageA. Returns how many were
// dispatched.
size_t PumpMessages();

struct WinHelpRecord {
    HWND window;
    std::string file;
    UINT command;
    ULONG_PTR data;
};
// WinHelpA calls since the last clear, in order.
std::vector<WinHelpRecord> WinHelpCalls();
void ClearWinHelpCalls();

struct ControlInfo {
    HWND window;
    int id;
    std::string className; // as registered: "Button", "Static", "msctls_trackbar32", ...
    std::string text;
    DWORD style;
    RECT rect; // in the parent's client pixels
    bool enabled;  // the window's own WS_DISABLED flag is clear
    bool visible;  // the window's own WS_VISIBLE flag is set
    bool focused;
    int check; // BST_* of check boxes and radio buttons, 0 for the rest
    // Trackbars only (0 for the rest).
    int position, rangeMin, rangeMax, ticFrequency;
};
// The direct children of `parent`, in creation order.
std::vector<ControlInfo> DescribeChildren(HWND parent);

// Windows not yet destroyed, on every thread (the desktop not counted).
size_t OpenWindowCount();

} // namespace kald::host
