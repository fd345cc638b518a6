// Arbitrary bytes as a dialog template (DLGTEMPLATEEX or DLGTEMPLATE, with
// its items) through the host's bounds-checked dialog creation, as a
// property page's dialog is made inside the frame. The template is tried
// twice: with no dialog procedure and with a small one that answers the
// messages a page handles. A dialog that is made is used as a user would:
// every child is read (WM_GETTEXT into a small buffer), clicked (BM_CLICK)
// and moved (TBM_SETPOS), the posted messages are dispatched, and the
// dialog is destroyed. Nothing may crash or read outside the template, a
// text read never overruns its buffer, and afterwards exactly the windows
// that were open before are open.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kald_host/commctrl.h"
#include "kald_host/host_win32.h"

namespace {

void Expect(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}
namespace host = kald::host;

// Templates with hundreds of items are already far beyond a page's.
constexpr size_t kMaxInputBytes = 16 * 1024;
// The text buffer handed to WM_GETTEXT, and the guard bytes after it.
constexpr size_t kTextBuffer = 8;
constexpr size_t kTextGuard = 8;
constexpr char kGuardByte = '\x5A';

// Answers like a page's procedure: takes the focus choice at
// WM_INITDIALOG, reads a trackbar's position when it scrolls, and sets the
// text of the control a command came from.
INT_PTR CALLBACK SmallDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_HSCROLL:
    case WM_VSCROLL:
        if (lParam != 0) {
            SendMessageA(reinterpret_cast<HWND>(lParam), TBM_GETPOS, 0, 0);
        }
        return TRUE;
    case WM_COMMAND: {
        HWND control = GetDlgItem(dialog, LOWORD(wParam));
        if (control != nullptr) {
            SetWindowTextA(control, "clicked");
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// The frame the dialogs are made in, made once: a top-level window of a
// class with the default procedure.
HWND Frame()
{
    static HWND const frame = [] {
        host::ResetWin32();
        WNDCLASSA frameClass{};
        frameClass.lpfnWndProc = DefWindowProcA;
        frameClass.lpszClassName = "KaldFuzzFrame";
        Expect(RegisterClassA(&frameClass) != 0, "the frame's class is refused");
        HWND window = CreateWindowExA(0, "KaldFuzzFrame", "Frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                      0, 600, 500, nullptr, nullptr, nullptr, nullptr);
        Expect(window != nullptr, "the frame is not made");
        host::PumpMessages();
        return window;
    }();
    return frame;
}

void UseDialog(HWND dialog)
{
    for (const host::ControlInfo& child : host::DescribeChildren(dialog)) {
        char text[kTextBuffer + kTextGuard];
        std::memset(text, kGuardByte, sizeof text);
        if (!IsWindow(child.window)) {
            continue; // an earlier click may have taken it away
        }
        const LRESULT length = SendMessageA(child.window, WM_GETTEXT, kTextBuffer,
                                            reinterpret_cast<LPARAM>(text));
        Expect(length >= 0 && size_t(length) < kTextBuffer, "WM_GETTEXT reports more than fits");
        for (size_t i = kTextBuffer; i < sizeof text; ++i) {
            Expect(text[i] == kGuardByte, "WM_GETTEXT wrote past its buffer");
        }
        if (IsWindow(child.window)) {
            SendMessageA(child.window, BM_CLICK, 0, 0);
        }
        if (IsWindow(child.window)) {
            SendMessageA(child.window, TBM_SETPOS, TRUE, child.rangeMax + 1);
        }
    }
    host::PumpMessages();
    if (IsWindow(dialog)) {
        Expect(DestroyWindow(dialog) != FALSE, "the dialog does not go");
    }
    host::PumpMessages();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    HWND frame = Frame();
    const size_t open = host::OpenWindowCount();
    // A heap block of exactly the template's size, so that AddressSanitizer
    // reports any read past it.
    std::vector<uint8_t> bytes(data, data + size);
    const void* memory = bytes.empty() ? nullptr : bytes.data();
    for (DLGPROC proc : {DLGPROC(nullptr), DLGPROC(SmallDialogProc)}) {
        HWND dialog = host::CreateDialogFromMemory(nullptr, memory, bytes.size(), frame, proc, 0);
        if (dialog != nullptr) {
            UseDialog(dialog);
        }
        Expect(host::OpenWindowCount() == open, "a dialog left windows behind");
        Expect(IsWindow(frame) != FALSE, "the frame went with a dialog");
    }
    return 0;
}
