// The built-in controls: static text, buttons (push buttons, check boxes,
// radio buttons, group boxes) and the trackbar, with the host controls
// that stand for a user's clicks and drags.
#include <strings.h>

#include "kald_host/windows.h"
#include "win32_window_state.h"

namespace kald::host::win32 {

namespace {

bool Checkable(DWORD type)
{
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
           type == BS_3STATE || type == BS_AUTO3STATE || type == BS_AUTORADIOBUTTON;
}

DWORD ButtonType(const Window& w)
{
    return w.Style & BS_TYPEMASK;
}

// Checks the radio button and clears the other automatic radio buttons of
// its group: from the closest sibling at or before it with WS_GROUP up to
// the next sibling with WS_GROUP, in creation order. Lock held.
void CheckInGroupLocked(WindowState& state, Window& button)
{
    button.Check = BST_CHECKED;
    Window* parent = FindWindowLocked(state, WindowHandle(button.Parent));
    if (parent == nullptr) {
        return;
    }
    const std::vector<uintptr_t>& siblings = parent->Children;
    size_t self = 0;
    while (self < siblings.size() && siblings[self] != button.Handle) {
        ++self;
    }
    if (self == siblings.size()) {
        return;
    }
    auto styleOf = [&](size_t i) {
        Window* w = FindWindowLocked(state, WindowHandle(siblings[i]));
        return w != nullptr ? w->Style : 0;
    };
    size_t first = self;
    while (first > 0 && (styleOf(first) & WS_GROUP) == 0) {
        --first;
    }
    size_t end = self + 1;
    while (end < siblings.size() && (styleOf(end) & WS_GROUP) == 0) {
        ++end;
    }
    for (size_t i = first; i < end; ++i) {
        Window* other = FindWindowLocked(state, WindowHandle(siblings[i]));
        if (i != self && other != nullptr &&
            strcasecmp(other->ClassName.c_str(), "Button") == 0 &&
            ButtonType(*other) == BS_AUTORADIOBUTTON && other->Check != BST_UNCHECKED) {
            other->Check = BST_UNCHECKED;
            InvalidateLocked(state, *other, true, false);
        }
    }
}

LRESULT SetTextAndRedraw(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = DefWindowProcA(hwnd, msg, wParam, lParam);
    InvalidateRect(hwnd, nullptr, TRUE);
    return result;
}

void ClampLocked(Window& w)
{
    if (w.Position < w.RangeMin) {
        w.Position = w.RangeMin;
    }
    if (w.Position > w.RangeMax) {
        w.Position = w.RangeMax;
    }
}

} // namespace

LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_SETTEXT) {
        return SetTextAndRedraw(hwnd, msg, wParam, lParam);
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ButtonWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WindowState& state = TheWindows();
    switch (msg) {
    case BM_GETCHECK:
        return WithWindowQuiet<LRESULT>(hwnd, 0, [](WindowState&, Window& w) {
            return Checkable(ButtonType(w)) ? w.Check : 0;
        });
    case BM_SETCHECK: {
        std::lock_guard<std::mutex> guard(state.Lock);
        Window* w = FindWindowLocked(state, hwnd);
        if (w == nullptr || !Checkable(ButtonType(*w))) {
            return 0;
        }
        const DWORD type = ButtonType(*w);
        const int most = type == BS_3STATE || type == BS_AUTO3STATE ? BST_INDETERMINATE
                                                                     : BST_CHECKED;
        const int check = wParam > static_cast<WPARAM>(most) ? most : static_cast<int>(wParam);
        if (w->Check != check) {
            w->Check = check;
            InvalidateLocked(state, *w, true, false);
        }
        return 0;
    }
    case BM_GETSTATE:
        return WithWindowQuiet<LRESULT>(hwnd, 0, [&](WindowState&, Window& w) {
            const bool focused = state.Queues[std::this_thread::get_id()].Focus == w.Handle;
            return (Checkable(ButtonType(w)) ? w.Check : 0) | (focused ? BST_FOCUS : 0);
        });
    case BM_CLICK: {
        // A click presses the button (taking the focus), then on release
        // changes an automatic button's check and tells the parent.
        DWORD type = 0;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            Window* w = FindWindowLocked(state, hwnd);
            if (w == nullptr || (w->Style & WS_DISABLED) != 0) {
                return 0;
            }
            type = ButtonType(*w);
        }
        if (type == BS_GROUPBOX) {
            return 0;
        }
        SetFocus(hwnd);
        HWND parent = nullptr;
        LONG_PTR id = 0;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            Window* w = FindWindowLocked(state, hwnd);
            if (w == nullptr) {
                return 0;
            }
            if (type == BS_AUTOCHECKBOX) {
                w->Check = w->Check == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED;
            } else if (type == BS_AUTO3STATE) {
                w->Check = (w->Check + 1) % 3;
            } else if (type == BS_AUTORADIOBUTTON) {
                CheckInGroupLocked(state, *w);
            }
            InvalidateLocked(state, *w, true, false);
            parent = WindowHandle(w->Parent != 0 ? w->Parent : w->Owner);
            id = w->Id;
        }
        if (parent != nullptr) {
            SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(hwnd));
        }
        return 0;
    }
    case WM_SETTEXT:
        return SetTextAndRedraw(hwnd, msg, wParam, lParam);
    default:
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

LRESULT CALLBACK TrackbarWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg < TBM_GETPOS || msg > TBM_GETLINESIZE) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hwnd);
    if (w == nullptr) {
        return 0;
    }
    const bool redraw = wParam != 0;
    LRESULT old = 0;
    switch (msg) {
    case TBM_GETPOS:
        return w->Position;
    case TBM_GETRANGEMIN:
        return w->RangeMin;
    case TBM_GETRANGEMAX:
        return w->RangeMax;
    case TBM_SETPOS:
        w->Position = static_cast<LONG>(lParam);
        ClampLocked(*w);
        break;
    case TBM_SETRANGE:
        // Both ends are 16-bit signed values packed into lParam.
        w->RangeMin = static_cast<SHORT>(LOWORD(lParam));
        w->RangeMax = static_cast<SHORT>(HIWORD(lParam));
        ClampLocked(*w);
        break;
    case TBM_SETRANGEMIN:
        w->RangeMin = static_cast<LONG>(lParam);
        ClampLocked(*w);
        break;
    case TBM_SETRANGEMAX:
        w->RangeMax = static_cast<LONG>(lParam);
        ClampLocked(*w);
        break;
    case TBM_SETTICFREQ:
        w->TicFrequency = static_cast<int>(wParam);
        return 0;
    case TBM_SETPAGESIZE:
        old = w->PageSize;
        w->PageSize = static_cast<LONG>(lParam);
        return old;
    case TBM_GETPAGESIZE:
        return w->PageSize;
    case TBM_SETLINESIZE:
        old = w->LineSize;
        w->LineSize = static_cast<LONG>(lParam);
        return old;
    case TBM_GETLINESIZE:
        return w->LineSize;
    case TBM_GETNUMTICS:
        return (w->Style & TBS_NOTICKS) != 0 ? 0 : 2; // the two ends
    default:
        return 0; // tics and selections are not kept
    }
    if (redraw) {
        InvalidateLocked(state, *w, true, false);
    }
    return 0;
}

} // namespace kald::host::win32

using namespace kald::host::win32;

extern "C" {

void WINAPI InitCommonControls(void) {}

WINBOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
{
    if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"

namespace kald::host {

void DragTrackbar(HWND trackbar, const std::vector<int>& positions)
{
    if (positions.empty() || !AcceptsInput(trackbar)) {
        return;
    }
    WindowState& state = TheWindows();
    UINT scroll = WM_HSCROLL;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        Window* w = FindWindowLocked(state, trackbar);
        if (w == nullptr || strcasecmp(w->ClassName.c_str(), TRACKBAR_CLASSA) != 0) {
            return;
        }
        scroll = (w->Style & TBS_VERT) != 0 ? WM_VSCROLL : WM_HSCROLL;
    }
    SetFocus(trackbar);
    int position = 0;
    for (int wanted : positions) {
        HWND parent = nullptr;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            Window* w = FindWindowLocked(state, trackbar);
            if (w == nullptr) {
                return; // destroyed by the parent while dragging
            }
            w->Position = wanted;
            ClampLocked(*w);
            InvalidateLocked(state, *w, true, false);
            position = w->Position;
            parent = WindowHandle(w->Parent != 0 ? w->Parent : w->Owner);
        }
        SendMessageA(parent, scroll, MAKEWPARAM(TB_THUMBTRACK, position),
                     reinterpret_cast<LPARAM>(trackbar));
    }
    const HWND parent = GetParent(trackbar);
    if (parent == nullptr) {
        return;
    }
    SendMessageA(parent, scroll, MAKEWPARAM(TB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(trackbar));
    SendMessageA(parent, scroll, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(trackbar));
}

void ClickControl(HWND control)
{
    if (AcceptsInput(control)) {
        SendMessageA(control, BM_CLICK, 0, 0);
    }
}

} // namespace kald::host
