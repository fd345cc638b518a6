// The window manager's state behind winuser.h and commctrl.h: the window
// table, the classes, the per-thread message queues and focus, shared by
// the window side (win32_window.cpp), the dialog side (win32_dialog.cpp)
// and the built-in controls (win32_controls.cpp). One mutex guards it; it
// is never held while a window procedure runs, because procedures re-enter
// SendMessageA and the rest.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kald_host/commctrl.h"
#include "kald_host/host_win32.h"
#include "kald_host/windows.h"

namespace kald::host::win32 {

struct WindowClass {
    std::string Name;
    ATOM Atom = 0;
    WNDPROC Proc = nullptr;
    UINT Style = 0;
    int WndExtra = 0;
    HINSTANCE Instance = nullptr;
    HBRUSH Background = nullptr;
    bool BuiltIn = false;
};

struct Window {
    uintptr_t Handle = 0;
    std::string ClassName; // as the class was registered
    WNDPROC Proc = nullptr;
    HINSTANCE Instance = nullptr;
    HBRUSH Background = nullptr; // the class brush; null: WM_ERASEBKGND erases nothing
    uintptr_t Parent = 0;        // for WS_CHILD windows
    uintptr_t Owner = 0;         // for the others
    std::vector<uintptr_t> Children; // creation order
    DWORD Style = 0;
    DWORD ExStyle = 0;
    LONG_PTR Id = 0;
    LONG_PTR UserData = 0;
    std::vector<uint8_t> Extra; // the class's window extra bytes
    std::string Text;
    RECT Rect{}; // in the parent's client pixels (screen for top-level windows)
    std::thread::id Thread;
    bool NeedsPaint = false;
    bool NeedsErase = false;
    bool Destroying = false;
    HFONT Font = nullptr;
    // Buttons.
    int Check = BST_UNCHECKED;
    // Trackbars.
    int Position = 0;
    int RangeMin = 0;
    int RangeMax = 100;
    int TicFrequency = 1;
    int PageSize = 20;
    int LineSize = 1;
    // Dialogs: the base units of the template's font.
    bool IsDialog = false;
    int BaseX = 8;
    int BaseY = 16;
};

struct ThreadQueue {
    std::deque<MSG> Posted;
    bool Quit = false;
    int QuitCode = 0;
    uintptr_t Focus = 0;
};

struct WindowState {
    std::mutex Lock;
    std::map<uintptr_t, Window> Windows; // by handle, which is creation order
    std::vector<uintptr_t> TopLevel;     // creation order
    std::vector<WindowClass> Classes;
    ATOM NextAtom = 0xC000;
    // Handle values grow and are never reused, also across ResetWin32.
    uintptr_t NextHandle = 0x10020;
    std::map<std::thread::id, ThreadQueue> Queues;
    std::vector<WinHelpRecord> Help;
};

// The desktop: a window of its own that is never destroyed.
inline constexpr uintptr_t kDesktopHandle = 0x10010;

// Never destroyed, so windows touched by other statics' destructors are safe.
WindowState& TheWindows();

inline uintptr_t WindowValue(HWND hwnd)
{
    return reinterpret_cast<uintptr_t>(hwnd);
}
inline HWND WindowHandle(uintptr_t value)
{
    return reinterpret_cast<HWND>(value);
}

// The window of `hwnd`, or null. Lock held.
Window* FindWindowLocked(WindowState& state, HWND hwnd);

// Runs `body(state, window)` on the window of `hwnd` with the lock held
// and returns its answer; for an unknown handle returns `missing` without
// running it. The body must not call a window procedure.
template <typename Result, typename Body>
Result WithWindowQuiet(HWND hwnd, Result missing, Body&& body)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hwnd);
    return w != nullptr ? body(state, *w) : missing;
}

// WithWindowQuiet that also fails an unknown handle with
// ERROR_INVALID_WINDOW_HANDLE as the last error.
template <typename Result, typename Body>
Result WithWindow(HWND hwnd, Result failed, Body&& body)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hwnd);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return failed;
    }
    return body(state, *w);
}

// Marks the window (and with `children` its descendants) for repainting,
// with erasing when `erase`. Lock held.
void InvalidateLocked(WindowState& state, Window& window, bool erase, bool children);

// The procedures of the built-in classes.
LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ButtonWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TrackbarWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Forgets every window (without messages: their procedures may belong to
// objects that no longer exist), every posted message, the focus, the
// classes registered by callers and the WinHelpA records.
void ResetWindows();

// Whether the window and all the windows it lies in are enabled.
bool AcceptsInput(HWND hwnd);

// UTF-16 code units (little-endian bytes) in the ANSI code page
// (Windows-1252), as the A functions give window texts.
std::string NarrowFromUtf16(const uint8_t* units, size_t count);

} // namespace kald::host::win32
