// The host window manager: classes, the window table with its relations,
// text, records, state and position, focus, painting, the default window
// procedure, the posted-message queues and the host controls that pump
// them, describe windows and record WinHelpA.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kald_host/windows.h"
#include "win32_text.h"
#include "win32_window_state.h"

namespace kald::host::win32 {

namespace {

// A brush for the built-in classes' backgrounds (COLOR_BTNFACE + 1).
HBRUSH const kFaceBrush = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_BTNFACE + 1));

void AddBuiltInClasses(WindowState& state)
{
    const struct {
        const char* name;
        WNDPROC proc;
        int extra;
    } builtIn[] = {
        {"#32770", DefDlgProcA, DLGWINDOWEXTRA},
        {"Static", StaticWindowProc, 0},
        {"Button", ButtonWindowProc, 0},
        {TRACKBAR_CLASSA, TrackbarWindowProc, 0},
    };
    for (const auto& b : builtIn) {
        WindowClass c;
        c.Name = b.name;
        c.Atom = state.NextAtom++;
        c.Proc = b.proc;
        c.WndExtra = b.extra;
        c.Background = kFaceBrush;
        c.BuiltIn = true;
        state.Classes.push_back(c);
    }
}

WindowClass* FindClassLocked(WindowState& state, LPCSTR name)
{
    for (WindowClass& c : state.Classes) {
        if (IS_INTRESOURCE(name) ? c.Atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(name))
                                 : strcasecmp(c.Name.c_str(), name) == 0) {
            return &c;
        }
    }
    return nullptr;
}

ThreadQueue& MyQueueLocked(WindowState& state)
{
    return state.Queues[std::this_thread::get_id()];
}

// The list that holds `window` among its siblings. Lock held.
std::vector<uintptr_t>& SiblingsLocked(WindowState& state, const Window& window)
{
    if (window.Parent != 0) {
        if (Window* parent = FindWindowLocked(state, WindowHandle(window.Parent))) {
            return parent->Children;
        }
    }
    return state.TopLevel;
}

void Unlink(std::vector<uintptr_t>& list, uintptr_t value)
{
    list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

// Whether the window and every window it lies in are visible. Lock held.
bool VisibleChainLocked(WindowState& state, const Window& window)
{
    const Window* w = &window;
    while (w != nullptr) {
        if ((w->Style & WS_VISIBLE) == 0) {
            return false;
        }
        w = w->Parent != 0 ? FindWindowLocked(state, WindowHandle(w->Parent)) : nullptr;
    }
    return true;
}

bool IsDescendantLocked(WindowState& state, uintptr_t ancestor, uintptr_t value)
{
    for (Window* w = FindWindowLocked(state, WindowHandle(value)); w != nullptr && w->Parent != 0;
         w = FindWindowLocked(state, WindowHandle(w->Parent))) {
        if (w->Parent == ancestor) {
            return true;
        }
    }
    return false;
}

// Depth-first list of the descendants of `value` (0: every top-level
// window and its descendants). Lock held.
void CollectDescendantsLocked(WindowState& state, uintptr_t value, std::vector<uintptr_t>& out)
{
    const std::vector<uintptr_t>* children = &state.TopLevel;
    if (value != 0 && value != kDesktopHandle) {
        Window* w = FindWindowLocked(state, WindowHandle(value));
        if (w == nullptr) {
            return;
        }
        children = &w->Children;
    }
    const std::vector<uintptr_t> snapshot = *children;
    for (uintptr_t child : snapshot) {
        out.push_back(child);
        CollectDescendantsLocked(state, child, out);
    }
}

WNDPROC ProcOf(HWND hwnd)
{
    return WithWindowQuiet<WNDPROC>(hwnd, nullptr,
                                    [](WindowState&, Window& w) { return w.Proc; });
}

// Sends WM_DESTROY, destroys the children and owned windows, sends
// WM_NCDESTROY and forgets the window.
void DestroyTree(uintptr_t value)
{
    WindowState& state = TheWindows();
    const HWND hwnd = WindowHandle(value);
    SendMessageA(hwnd, WM_DESTROY, 0, 0);
    // Children created while this runs are destroyed too; the bound keeps a
    // procedure that creates a child on every WM_DESTROY from looping.
    for (int round = 0; round < 64; ++round) {
        std::vector<uintptr_t> doomed;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            Window* w = FindWindowLocked(state, hwnd);
            if (w == nullptr) {
                return;
            }
            for (uintptr_t child : w->Children) {
                doomed.push_back(child);
            }
            for (auto& [other, window] : state.Windows) {
                if (window.Owner == value) {
                    doomed.push_back(other);
                }
            }
            for (uintptr_t& d : doomed) {
                Window* dw = FindWindowLocked(state, WindowHandle(d));
                if (dw != nullptr && !dw->Destroying) {
                    dw->Destroying = true;
                    dw->Style &= ~static_cast<DWORD>(WS_VISIBLE);
                } else {
                    d = 0;
                }
            }
        }
        doomed.erase(std::remove(doomed.begin(), doomed.end(), 0u), doomed.end());
        if (doomed.empty()) {
            break;
        }
        for (uintptr_t d : doomed) {
            DestroyTree(d);
        }
    }
    SendMessageA(hwnd, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hwnd);
    if (w == nullptr) {
        return;
    }
    Unlink(SiblingsLocked(state, *w), value);
    for (auto& [thread, queue] : state.Queues) {
        if (queue.Focus == value) {
            queue.Focus = 0;
        }
        auto& posted = queue.Posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(),
                                    [&](const MSG& m) { return m.hwnd == hwnd; }),
                     posted.end());
    }
    state.Windows.erase(value);
}

// Whether message `m` passes PeekMessageA's window and range filters. Lock held.
bool PassesFilter(WindowState& state, HWND hwnd, UINT message, HWND filter, UINT first, UINT last)
{
    if ((first != 0 || last != 0) && (message < first || message > last)) {
        return false;
    }
    if (filter == reinterpret_cast<HWND>(-1)) {
        return hwnd == nullptr;
    }
    if (filter != nullptr) {
        return hwnd == filter || IsDescendantLocked(state, WindowValue(filter), WindowValue(hwnd));
    }
    return true;
}

// The next message for this thread: posted ones first, then WM_QUIT (when
// `withQuit`), then WM_PAINT for a visible window that needs painting.
bool NextMessage(LPMSG out, HWND filter, UINT first, UINT last, bool remove, bool withQuit)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    ThreadQueue& queue = MyQueueLocked(state);
    for (auto it = queue.Posted.begin(); it != queue.Posted.end(); ++it) {
        if (PassesFilter(state, it->hwnd, it->message, filter, first, last)) {
            *out = *it;
            if (remove) {
                queue.Posted.erase(it);
            }
            return true;
        }
    }
    if (withQuit && queue.Quit) {
        *out = MSG{};
        out->message = WM_QUIT;
        out->wParam = static_cast<WPARAM>(queue.QuitCode);
        if (remove) {
            queue.Quit = false;
        }
        return true;
    }
    const std::thread::id self = std::this_thread::get_id();
    for (auto& [value, window] : state.Windows) {
        if (window.NeedsPaint && window.Thread == self && !window.Destroying &&
            VisibleChainLocked(state, window) &&
            PassesFilter(state, WindowHandle(value), WM_PAINT, filter, first, last)) {
            // WM_PAINT stays due until the window validates itself.
            *out = MSG{};
            out->hwnd = WindowHandle(value);
            out->message = WM_PAINT;
            return true;
        }
    }
    return false;
}

bool ValidWindow(HWND hwnd)
{
    return WithWindow(hwnd, false, [](WindowState&, Window&) { return true; });
}

void SetPlacement(HWND hwnd, const RECT* place, bool redraw)
{
    WindowState& state = TheWindows();
    bool moved = false;
    bool sized = false;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        Window* w = FindWindowLocked(state, hwnd);
        if (w == nullptr) {
            return;
        }
        moved = place->left != w->Rect.left || place->top != w->Rect.top;
        sized = place->right - place->left != w->Rect.right - w->Rect.left ||
                place->bottom - place->top != w->Rect.bottom - w->Rect.top;
        w->Rect = *place;
        if (redraw && (moved || sized)) {
            InvalidateLocked(state, *w, true, false);
        }
    }
    if (moved) {
        SendMessageA(hwnd, WM_MOVE, 0, MAKELPARAM(place->left, place->top));
    }
    if (sized) {
        SendMessageA(hwnd, WM_SIZE, SIZE_RESTORED,
                     MAKELPARAM(place->right - place->left, place->bottom - place->top));
    }
}

// The offset of the window's client area on the screen. Lock held.
POINT ScreenOffsetLocked(WindowState& state, const Window& window)
{
    POINT p{0, 0};
    for (const Window* w = &window; w != nullptr;
         w = w->Parent != 0 ? FindWindowLocked(state, WindowHandle(w->Parent)) : nullptr) {
        p.x += w->Rect.left;
        p.y += w->Rect.top;
    }
    return p;
}

// Copies what fits of `text` with its terminator; answers the characters copied.
int CopyText(const std::string& text, LPSTR buffer, int size)
{
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// What GetWindowRect and GetClientRect answer for the desktop.
constexpr RECT kDesktopRect{0, 0, 1024, 768};

// The window's own size as a rectangle at 0,0.
RECT ClientRectOf(const Window& w)
{
    return RECT{0, 0, w.Rect.right - w.Rect.left, w.Rect.bottom - w.Rect.top};
}

// GetWindowRect and GetClientRect: the desktop's rectangle, or the one
// `rectOf` gives for the window.
template <typename RectOf>
WINBOOL AnswerRect(HWND hWnd, LPRECT lpRect, RectOf&& rectOf)
{
    if (lpRect == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (WindowValue(hWnd) == kDesktopHandle) {
        *lpRect = kDesktopRect;
        return TRUE;
    }
    return WithWindow<WINBOOL>(hWnd, FALSE, [&](WindowState& state, Window& w) -> WINBOOL {
        *lpRect = rectOf(state, w);
        return TRUE;
    });
}

} // namespace

WindowState& TheWindows()
{
    static WindowState* state = [] {
        auto* s = new WindowState;
        AddBuiltInClasses(*s);
        return s;
    }();
    return *state;
}

Window* FindWindowLocked(WindowState& state, HWND hwnd)
{
    const auto found = state.Windows.find(WindowValue(hwnd));
    return found == state.Windows.end() ? nullptr : &found->second;
}

void InvalidateLocked(WindowState& state, Window& window, bool erase, bool children)
{
    window.NeedsPaint = true;
    window.NeedsErase = window.NeedsErase || erase;
    if (children) {
        for (uintptr_t child : window.Children) {
            if (Window* c = FindWindowLocked(state, WindowHandle(child))) {
                InvalidateLocked(state, *c, erase, true);
            }
        }
    }
}

bool AcceptsInput(HWND hwnd)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hwnd);
    if (w == nullptr) {
        return false;
    }
    for (; w != nullptr; w = w->Parent != 0 ? FindWindowLocked(state, WindowHandle(w->Parent))
                                            : nullptr) {
        if ((w->Style & WS_DISABLED) != 0) {
            return false;
        }
    }
    return true;
}

std::string NarrowFromUtf16(const uint8_t* units, size_t count)
{
    return AnsiFromUtf16(ReadUtf16(units, count));
}

void ResetWindows()
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Windows.clear();
    state.TopLevel.clear();
    state.Queues.clear();
    state.Help.clear();
    state.Classes.erase(std::remove_if(state.Classes.begin(), state.Classes.end(),
                                       [](const WindowClass& c) { return !c.BuiltIn; }),
                        state.Classes.end());
}

} // namespace kald::host::win32

using namespace kald::host::win32;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass)
{
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr ||
        lpWndClass->lpszClassName == nullptr || IS_INTRESOURCE(lpWndClass->lpszClassName) ||
        lpWndClass->lpszClassName[0] == '\0' || lpWndClass->cbWndExtra < 0 ||
        lpWndClass->cbWndExtra > 4096) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindClassLocked(state, lpWndClass->lpszClassName) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WindowClass c;
    c.Name = lpWndClass->lpszClassName;
    c.Atom = state.NextAtom++;
    c.Proc = lpWndClass->lpfnWndProc;
    c.Style = lpWndClass->style;
    c.WndExtra = lpWndClass->cbWndExtra;
    c.Instance = lpWndClass->hInstance;
    c.Background = lpWndClass->hbrBackground;
    state.Classes.push_back(c);
    return c.Atom;
}

WINBOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    WindowClass* c = lpClassName != nullptr ? FindClassLocked(state, lpClassName) : nullptr;
    if (c == nullptr || c->BuiltIn) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (const auto& [value, window] : state.Windows) {
        if (window.ClassName == c->Name) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    state.Classes.erase(state.Classes.begin() + (c - state.Classes.data()));
    return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    WindowState& state = TheWindows();
    HWND hwnd = nullptr;
    std::string className;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        WindowClass* c = lpClassName != nullptr ? FindClassLocked(state, lpClassName) : nullptr;
        if (c == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        Window* parent = nullptr;
        const bool child = (dwStyle & WS_CHILD) != 0;
        if (hWndParent != nullptr && WindowValue(hWndParent) != kDesktopHandle) {
            parent = FindWindowLocked(state, hWndParent);
            if (parent == nullptr || parent->Destroying) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
        } else if (child && hWndParent == nullptr) {
            // A child of the desktop is allowed; a child of nothing is not.
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        if (X == CW_USEDEFAULT) {
            X = 0;
            Y = 0;
        }
        if (nWidth == CW_USEDEFAULT) {
            nWidth = 0;
            nHeight = 0;
        }
        const uintptr_t value = state.NextHandle;
        state.NextHandle += 4;
        Window w;
        w.Handle = value;
        w.ClassName = c->Name;
        w.Proc = c->Proc;
        w.Instance = hInstance;
        w.Background = c->Background;
        w.Style = dwStyle & ~static_cast<DWORD>(WS_VISIBLE);
        w.ExStyle = dwExStyle;
        w.Extra.assign(static_cast<size_t>(c->WndExtra), 0);
        w.Text = lpWindowName != nullptr && !IS_INTRESOURCE(lpWindowName) ? lpWindowName : "";
        w.Rect = RECT{X, Y, X + std::max(nWidth, 0), Y + std::max(nHeight, 0)};
        w.Thread = std::this_thread::get_id();
        if (child && parent != nullptr) {
            w.Parent = parent->Handle;
            w.Id = static_cast<LONG_PTR>(reinterpret_cast<uintptr_t>(hMenu));
            parent->Children.push_back(value);
        } else {
            w.Owner = parent != nullptr ? parent->Handle : 0;
            state.TopLevel.push_back(value);
        }
        className = w.ClassName;
        state.Windows.emplace(value, std::move(w));
        hwnd = WindowHandle(value);
    }
    CREATESTRUCTA create{lpParam, hInstance, hMenu,   hWndParent,  nHeight,    nWidth,
                         Y,       X,         static_cast<LONG>(dwStyle), lpWindowName,
                         className.c_str(), dwExStyle};
    if (SendMessageA(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0 ||
        SendMessageA(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!IsWindow(hwnd)) {
        return nullptr;
    }
    if ((dwStyle & WS_VISIBLE) != 0) {
        ShowWindow(hwnd, SW_SHOW);
    }
    return hwnd;
}

WINBOOL WINAPI DestroyWindow(HWND hWnd)
{
    enum { Refused, Begun, AlreadyBegun };
    const int step = WithWindow<int>(hWnd, Refused, [](WindowState&, Window& w) -> int {
        if (w.Thread != std::this_thread::get_id()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return Refused;
        }
        if (w.Destroying) {
            return AlreadyBegun; // already on its way
        }
        w.Destroying = true;
        w.Style &= ~static_cast<DWORD>(WS_VISIBLE);
        return Begun;
    });
    if (step == Begun) {
        DestroyTree(WindowValue(hWnd));
    }
    return step != Refused ? TRUE : FALSE;
}

WINBOOL WINAPI IsWindow(HWND hWnd)
{
    if (WindowValue(hWnd) == kDesktopHandle) {
        return TRUE;
    }
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    return FindWindowLocked(state, hWnd) != nullptr ? TRUE : FALSE;
}

HWND WINAPI GetDesktopWindow(VOID)
{
    return WindowHandle(kDesktopHandle);
}

HWND WINAPI GetParent(HWND hWnd)
{
    if (WindowValue(hWnd) == kDesktopHandle) {
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    return WithWindow<HWND>(hWnd, nullptr, [](WindowState&, Window& w) {
        return WindowHandle(w.Parent != 0 ? w.Parent : w.Owner);
    });
}

HWND WINAPI SetParent(HWND hWndChild, HWND hWndNewParent)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    Window* w = FindWindowLocked(state, hWndChild);
    const bool toDesktop =
        hWndNewParent == nullptr || WindowValue(hWndNewParent) == kDesktopHandle;
    Window* parent = toDesktop ? nullptr : FindWindowLocked(state, hWndNewParent);
    if (w == nullptr || (!toDesktop && parent == nullptr)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // A window cannot become a child of itself or of its own descendant.
    if (parent != nullptr && (parent == w || IsDescendantLocked(state, w->Handle, parent->Handle))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const uintptr_t old = w->Parent != 0 ? w->Parent : kDesktopHandle;
    Unlink(SiblingsLocked(state, *w), w->Handle);
    if (parent != nullptr) {
        w->Parent = parent->Handle;
        w->Owner = 0;
        parent->Children.push_back(w->Handle);
    } else {
        w->Parent = 0;
        state.TopLevel.push_back(w->Handle);
    }
    return WindowHandle(old);
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    const bool desktop = WindowValue(hWnd) == kDesktopHandle;
    Window* w = desktop ? nullptr : FindWindowLocked(state, hWnd);
    if (!desktop && w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (uCmd == GW_CHILD) {
        const std::vector<uintptr_t>& children = desktop ? state.TopLevel : w->Children;
        return children.empty() ? nullptr : WindowHandle(children.front());
    }
    if (uCmd == GW_OWNER) {
        return w != nullptr ? WindowHandle(w->Owner) : nullptr;
    }
    if (desktop || uCmd > GW_HWNDPREV) {
        return nullptr;
    }
    const std::vector<uintptr_t>& siblings = SiblingsLocked(state, *w);
    const auto at = std::find(siblings.begin(), siblings.end(), w->Handle);
    switch (uCmd) {
    case GW_HWNDFIRST:
        return WindowHandle(siblings.front());
    case GW_HWNDLAST:
        return WindowHandle(siblings.back());
    case GW_HWNDNEXT:
        return at == siblings.end() || at + 1 == siblings.end() ? nullptr : WindowHandle(*(at + 1));
    default: // GW_HWNDPREV
        return at == siblings.begin() || at == siblings.end() ? nullptr : WindowHandle(*(at - 1));
    }
}

WINBOOL WINAPI IsChild(HWND hWndParent, HWND hWnd)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    return IsDescendantLocked(state, WindowValue(hWndParent), WindowValue(hWnd)) ? TRUE : FALSE;
}

WINBOOL WINAPI EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uintptr_t> windows;
    {
        WindowState& state = TheWindows();
        std::lock_guard<std::mutex> guard(state.Lock);
        CollectDescendantsLocked(state, WindowValue(hWndParent), windows);
    }
    for (uintptr_t value : windows) {
        if (IsWindow(WindowHandle(value)) && !lpEnumFunc(WindowHandle(value), lParam)) {
            break;
        }
    }
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    return WithWindow<HWND>(hDlg, nullptr, [&](WindowState& state, Window& w) -> HWND {
        for (uintptr_t child : w.Children) {
            Window* c = FindWindowLocked(state, WindowHandle(child));
            if (c != nullptr && static_cast<int>(c->Id) == nIDDlgItem) {
                return WindowHandle(child);
            }
        }
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    });
}

int WINAPI GetDlgCtrlID(HWND hWnd)
{
    return WithWindow(hWnd, 0, [](WindowState&, Window& w) {
        return w.Parent != 0 ? static_cast<int>(w.Id) : 0;
    });
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount)
{
    if (lpClassName == nullptr || nMaxCount <= 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    lpClassName[0] = '\0';
    if (WindowValue(hWnd) == kDesktopHandle) {
        return CopyText("#32769", lpClassName, nMaxCount);
    }
    return WithWindow(hWnd, 0, [&](WindowState&, Window& w) {
        return CopyText(w.ClassName, lpClassName, nMaxCount);
    });
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (lpString == nullptr || nMaxCount <= 0) {
        return 0;
    }
    lpString[0] = '\0';
    if (!ValidWindow(hWnd)) {
        return 0;
    }
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                         reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd)
{
    if (!ValidWindow(hWnd)) {
        return 0;
    }
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

WINBOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
{
    if (!ValidWindow(hWnd)) {
        return FALSE;
    }
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE
                                                                                       : FALSE;
}

WINBOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr ? SetWindowTextA(item, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax)
{
    if (lpString != nullptr && cchMax > 0) {
        lpString[0] = '\0';
    }
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr ? static_cast<UINT>(GetWindowTextA(item, lpString, cchMax)) : 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    return WithWindow<LONG_PTR>(hWnd, 0, [&](WindowState&, Window& w) -> LONG_PTR {
        switch (nIndex) {
        case GWL_STYLE:
            return static_cast<LONG_PTR>(w.Style);
        case GWL_EXSTYLE:
            return static_cast<LONG_PTR>(w.ExStyle);
        case GWLP_ID:
            return w.Id;
        case GWLP_USERDATA:
            return w.UserData;
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(w.Proc);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(w.Instance);
        case GWLP_HWNDPARENT:
            return static_cast<LONG_PTR>(w.Parent != 0 ? w.Parent : w.Owner);
        default:
            break;
        }
        if (nIndex < 0 || static_cast<size_t>(nIndex) + sizeof(LONG_PTR) > w.Extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
        LONG_PTR value = 0;
        std::memcpy(&value, w.Extra.data() + nIndex, sizeof(value));
        return value;
    });
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    return WithWindow<LONG_PTR>(hWnd, 0, [&](WindowState&, Window& w) -> LONG_PTR {
        LONG_PTR old = 0;
        switch (nIndex) {
        case GWL_STYLE:
            old = static_cast<LONG_PTR>(w.Style);
            w.Style = static_cast<DWORD>(dwNewLong);
            return old;
        case GWL_EXSTYLE:
            old = static_cast<LONG_PTR>(w.ExStyle);
            w.ExStyle = static_cast<DWORD>(dwNewLong);
            return old;
        case GWLP_ID:
            old = w.Id;
            w.Id = dwNewLong;
            return old;
        case GWLP_USERDATA:
            old = w.UserData;
            w.UserData = dwNewLong;
            return old;
        case GWLP_WNDPROC:
            if (dwNewLong == 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            old = reinterpret_cast<LONG_PTR>(w.Proc);
            w.Proc = reinterpret_cast<WNDPROC>(dwNewLong);
            return old;
        case GWLP_HINSTANCE:
            old = reinterpret_cast<LONG_PTR>(w.Instance);
            w.Instance = reinterpret_cast<HINSTANCE>(dwNewLong);
            return old;
        case GWLP_HWNDPARENT:
            if (w.Parent != 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            old = static_cast<LONG_PTR>(w.Owner);
            w.Owner = static_cast<uintptr_t>(dwNewLong);
            return old;
        default:
            break;
        }
        if (nIndex < 0 || static_cast<size_t>(nIndex) + sizeof(LONG_PTR) > w.Extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
        std::memcpy(&old, w.Extra.data() + nIndex, sizeof(old));
        std::memcpy(w.Extra.data() + nIndex, &dwNewLong, sizeof(dwNewLong));
        return old;
    });
}

// The 32-bit forms reach the same fields; extra bytes are read 32 bits
// wide, and the pointer-valued fields are refused as on 64-bit systems.
LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex)
{
    if (nIndex >= 0) {
        return WithWindow<LONG>(hWnd, 0, [&](WindowState&, Window& w) -> LONG {
            if (static_cast<size_t>(nIndex) + sizeof(LONG) > w.Extra.size()) {
                SetLastError(ERROR_INVALID_INDEX);
                return 0;
            }
            LONG value = 0;
            std::memcpy(&value, w.Extra.data() + nIndex, sizeof(value));
            return value;
        });
    }
    if (nIndex == GWLP_WNDPROC || nIndex == GWLP_HINSTANCE || nIndex == GWLP_HWNDPARENT) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong)
{
    if (nIndex >= 0) {
        return WithWindow<LONG>(hWnd, 0, [&](WindowState&, Window& w) -> LONG {
            if (static_cast<size_t>(nIndex) + sizeof(LONG) > w.Extra.size()) {
                SetLastError(ERROR_INVALID_INDEX);
                return 0;
            }
            LONG old = 0;
            std::memcpy(&old, w.Extra.data() + nIndex, sizeof(old));
            std::memcpy(w.Extra.data() + nIndex, &dwNewLong, sizeof(dwNewLong));
            return old;
        });
    }
    if (nIndex == GWLP_WNDPROC || nIndex == GWLP_HINSTANCE || nIndex == GWLP_HWNDPARENT) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    const LONG_PTR value = (nIndex == GWL_STYLE || nIndex == GWL_EXSTYLE)
                               ? static_cast<LONG_PTR>(static_cast<DWORD>(dwNewLong))
                               : static_cast<LONG_PTR>(dwNewLong);
    return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, value));
}

WINBOOL WINAPI EnableWindow(HWND hWnd, WINBOOL bEnable)
{
    bool wasDisabled = false;
    bool loseFocus = false;
    const bool changed = WithWindow(hWnd, false, [&](WindowState& state, Window& w) {
        wasDisabled = (w.Style & WS_DISABLED) != 0;
        if (wasDisabled == (bEnable == FALSE)) {
            return false;
        }
        if (bEnable) {
            w.Style &= ~static_cast<DWORD>(WS_DISABLED);
        } else {
            w.Style |= WS_DISABLED;
            const uintptr_t focus = MyQueueLocked(state).Focus;
            loseFocus = focus == w.Handle || IsDescendantLocked(state, w.Handle, focus);
        }
        InvalidateLocked(state, w, true, false);
        return true;
    });
    if (!changed) {
        return wasDisabled ? TRUE : FALSE;
    }
    // A disabled window takes no input, so it gives up the focus.
    if (loseFocus) {
        SetFocus(nullptr);
    }
    SendMessageA(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return wasDisabled ? TRUE : FALSE;
}

WINBOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    return WithWindowQuiet<WINBOOL>(hWnd, FALSE, [](WindowState&, Window& w) {
        return (w.Style & WS_DISABLED) == 0 ? TRUE : FALSE;
    });
}

WINBOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    const bool show = nCmdShow != SW_HIDE;
    bool wasVisible = false;
    const bool changes = WithWindow(hWnd, false, [&](WindowState&, Window& w) {
        wasVisible = (w.Style & WS_VISIBLE) != 0;
        return wasVisible != show;
    });
    if (!changes) {
        return wasVisible ? TRUE : FALSE;
    }
    SendMessageA(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    WithWindowQuiet(hWnd, 0, [&](WindowState& state, Window& w) {
        if (show) {
            w.Style |= WS_VISIBLE;
            // What comes into view is painted, with its background erased.
            InvalidateLocked(state, w, true, true);
        } else {
            w.Style &= ~static_cast<DWORD>(WS_VISIBLE);
        }
        return 0;
    });
    return wasVisible ? TRUE : FALSE;
}

WINBOOL WINAPI IsWindowVisible(HWND hWnd)
{
    return WithWindowQuiet<WINBOOL>(hWnd, FALSE, [](WindowState& state, Window& w) {
        return VisibleChainLocked(state, w) ? TRUE : FALSE;
    });
}

WINBOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, WINBOOL bRepaint)
{
    if (!ValidWindow(hWnd)) {
        return FALSE;
    }
    const RECT place{X, Y, X + std::max(nWidth, 0), Y + std::max(nHeight, 0)};
    SetPlacement(hWnd, &place, bRepaint != FALSE);
    return TRUE;
}

WINBOOL WINAPI SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags)
{
    RECT place{};
    if (!WithWindow(hWnd, false, [&](WindowState&, Window& w) {
            place = w.Rect;
            return true;
        })) {
        return FALSE;
    }
    // The z-order is creation order on the host; only place and size move.
    if ((uFlags & SWP_NOMOVE) == 0) {
        place.right += X - place.left;
        place.bottom += Y - place.top;
        place.left = X;
        place.top = Y;
    }
    if ((uFlags & SWP_NOSIZE) == 0) {
        place.right = place.left + std::max(cx, 0);
        place.bottom = place.top + std::max(cy, 0);
    }
    SetPlacement(hWnd, &place, (uFlags & SWP_NOREDRAW) == 0);
    if ((uFlags & SWP_SHOWWINDOW) != 0) {
        ShowWindow(hWnd, SW_SHOWNA);
    } else if ((uFlags & SWP_HIDEWINDOW) != 0) {
        ShowWindow(hWnd, SW_HIDE);
    }
    return TRUE;
}

WINBOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    return AnswerRect(hWnd, lpRect, [](WindowState& state, const Window& w) {
        const POINT at = ScreenOffsetLocked(state, w);
        return RECT{at.x, at.y, at.x + w.Rect.right - w.Rect.left,
                    at.y + w.Rect.bottom - w.Rect.top};
    });
}

WINBOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    return AnswerRect(hWnd, lpRect,
                      [](WindowState&, const Window& w) { return ClientRectOf(w); });
}

static WINBOOL MapPoint(HWND hWnd, LPPOINT lpPoint, int sign)
{
    if (lpPoint == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (WindowValue(hWnd) == kDesktopHandle) {
        return TRUE;
    }
    return WithWindow<WINBOOL>(hWnd, FALSE, [&](WindowState& state, Window& w) -> WINBOOL {
        const POINT at = ScreenOffsetLocked(state, w);
        lpPoint->x += sign * at.x;
        lpPoint->y += sign * at.y;
        return TRUE;
    });
}

WINBOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT lpPoint)
{
    return MapPoint(hWnd, lpPoint, 1);
}

WINBOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint)
{
    return MapPoint(hWnd, lpPoint, -1);
}

HWND WINAPI SetFocus(HWND hWnd)
{
    WindowState& state = TheWindows();
    uintptr_t previous = 0;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (hWnd != nullptr && FindWindowLocked(state, hWnd) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        ThreadQueue& queue = MyQueueLocked(state);
        previous = queue.Focus;
        if (FindWindowLocked(state, WindowHandle(previous)) == nullptr) {
            previous = 0;
        }
        if (previous == WindowValue(hWnd)) {
            return WindowHandle(previous);
        }
        queue.Focus = WindowValue(hWnd);
    }
    if (previous != 0) {
        SendMessageA(WindowHandle(previous), WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    }
    if (hWnd != nullptr) {
        SendMessageA(hWnd, WM_SETFOCUS, static_cast<WPARAM>(previous), 0);
    }
    return WindowHandle(previous);
}

HWND WINAPI GetFocus(VOID)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    const uintptr_t focus = MyQueueLocked(state).Focus;
    return FindWindowLocked(state, WindowHandle(focus)) != nullptr ? WindowHandle(focus) : nullptr;
}

WINBOOL WINAPI InvalidateRect(HWND hWnd, const RECT*, WINBOOL bErase)
{
    if (hWnd == nullptr) {
        // Every window of this thread.
        WindowState& state = TheWindows();
        std::lock_guard<std::mutex> guard(state.Lock);
        for (auto& [value, window] : state.Windows) {
            if (window.Thread == std::this_thread::get_id()) {
                InvalidateLocked(state, window, bErase != FALSE, false);
            }
        }
        return TRUE;
    }
    return WithWindow<WINBOOL>(hWnd, FALSE, [&](WindowState& state, Window& w) -> WINBOOL {
        InvalidateLocked(state, w, bErase != FALSE, false);
        return TRUE;
    });
}

WINBOOL WINAPI ValidateRect(HWND hWnd, const RECT*)
{
    return WithWindow<WINBOOL>(hWnd, FALSE, [&](WindowState&, Window& w) -> WINBOOL {
        w.NeedsPaint = false;
        w.NeedsErase = false;
        return TRUE;
    });
}

WINBOOL WINAPI GetUpdateRect(HWND hWnd, LPRECT lpRect, WINBOOL)
{
    return WithWindow<WINBOOL>(hWnd, FALSE, [&](WindowState&, Window& w) -> WINBOOL {
        if (lpRect != nullptr) {
            *lpRect = w.NeedsPaint ? ClientRectOf(w) : RECT{0, 0, 0, 0};
        }
        return w.NeedsPaint ? TRUE : FALSE;
    });
}

WINBOOL WINAPI UpdateWindow(HWND hWnd)
{
    bool paint = false;
    if (!WithWindow(hWnd, false, [&](WindowState& state, Window& w) {
            paint = w.NeedsPaint && VisibleChainLocked(state, w);
            return true;
        })) {
        return FALSE;
    }
    if (paint) {
        SendMessageA(hWnd, WM_PAINT, 0, 0);
    }
    return TRUE;
}

WINBOOL WINAPI RedrawWindow(HWND hWnd, const RECT*, HRGN, UINT flags)
{
    if (hWnd == nullptr || WindowValue(hWnd) == kDesktopHandle) {
        return TRUE;
    }
    WindowState& state = TheWindows();
    std::vector<uintptr_t> affected{WindowValue(hWnd)};
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (FindWindowLocked(state, hWnd) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if ((flags & RDW_ALLCHILDREN) != 0) {
            CollectDescendantsLocked(state, WindowValue(hWnd), affected);
        }
        for (uintptr_t value : affected) {
            Window* w = FindWindowLocked(state, WindowHandle(value));
            if ((flags & (RDW_INVALIDATE | RDW_INTERNALPAINT)) != 0) {
                w->NeedsPaint = true;
                w->NeedsErase = w->NeedsErase ||
                                ((flags & RDW_INVALIDATE) != 0 && (flags & RDW_ERASE) != 0);
            }
            if ((flags & RDW_NOERASE) != 0 && (flags & RDW_INVALIDATE) == 0) {
                w->NeedsErase = false;
            }
            if ((flags & RDW_VALIDATE) != 0) {
                w->NeedsPaint = false;
                w->NeedsErase = false;
            }
        }
    }
    for (uintptr_t value : affected) {
        const HWND hwnd = WindowHandle(value);
        if ((flags & RDW_UPDATENOW) != 0) {
            UpdateWindow(hwnd);
        } else if ((flags & RDW_ERASENOW) != 0) {
            bool erase = false;
            HDC dc = reinterpret_cast<HDC>(value + 1);
            {
                std::lock_guard<std::mutex> guard(state.Lock);
                Window* w = FindWindowLocked(state, hwnd);
                erase = w != nullptr && w->NeedsErase && VisibleChainLocked(state, *w);
                if (erase) {
                    w->NeedsErase = false;
                }
            }
            if (erase) {
                SendMessageA(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
            }
        }
    }
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    if (lpPaint == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool erase = false;
    RECT client{};
    if (!WithWindow(hWnd, false, [&](WindowState&, Window& w) {
            if (w.NeedsPaint) {
                client = ClientRectOf(w);
            }
            // Validated before the erase message, so that a window
            // invalidated again while it erases is painted once more.
            erase = w.NeedsErase;
            w.NeedsPaint = false;
            w.NeedsErase = false;
            return true;
        })) {
        return nullptr;
    }
    // A device context of the host is only a token, distinct per window.
    HDC dc = reinterpret_cast<HDC>(WindowValue(hWnd) + 1);
    *lpPaint = PAINTSTRUCT{};
    lpPaint->hdc = dc;
    lpPaint->rcPaint = client;
    if (erase) {
        // The procedure's answer says whether it erased; if not, the
        // painter must.
        lpPaint->fErase =
            SendMessageA(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0 ? TRUE : FALSE;
    }
    return dc;
}

WINBOOL WINAPI EndPaint(HWND, const PAINTSTRUCT*)
{
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_SETTEXT:
        return WithWindowQuiet<LRESULT>(hWnd, FALSE, [&](WindowState&, Window& w) {
            const char* text = reinterpret_cast<const char*>(lParam);
            w.Text = text != nullptr ? text : "";
            return TRUE;
        });
    case WM_GETTEXT: {
        char* buffer = reinterpret_cast<char*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        const int size = static_cast<int>(std::min<WPARAM>(wParam, 0x7FFFFFFF));
        buffer[0] = '\0';
        return WithWindowQuiet<LRESULT>(hWnd, 0, [&](WindowState&, Window& w) {
            return CopyText(w.Text, buffer, size);
        });
    }
    case WM_GETTEXTLENGTH:
        return WithWindowQuiet<LRESULT>(hWnd, 0, [](WindowState&, Window& w) {
            return static_cast<LRESULT>(w.Text.size());
        });
    case WM_PAINT: {
        PAINTSTRUCT ps;
        if (BeginPaint(hWnd, &ps) != nullptr) {
            EndPaint(hWnd, &ps);
        }
        return 0;
    }
    case WM_ERASEBKGND:
        return WithWindowQuiet<LRESULT>(hWnd, 0, [](WindowState&, Window& w) {
            return w.Background != nullptr ? 1 : 0;
        });
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SETFONT:
        WithWindowQuiet(hWnd, 0, [&](WindowState& state, Window& w) {
            w.Font = reinterpret_cast<HFONT>(wParam);
            if (lParam != 0) {
                InvalidateLocked(state, w, true, false);
            }
            return 0;
        });
        return 0;
    case WM_GETFONT:
        return WithWindowQuiet<LRESULT>(hWnd, 0, [](WindowState&, Window& w) {
            return reinterpret_cast<LRESULT>(w.Font);
        });
    default:
        return 0;
    }
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam)
{
    return lpPrevWndFunc != nullptr ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = ProcOf(hWnd);
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return proc(hWnd, Msg, wParam, lParam);
}

WINBOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::thread::id thread = std::this_thread::get_id();
    if (hWnd != nullptr) {
        Window* w = FindWindowLocked(state, hWnd);
        if (w == nullptr || w->Destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        thread = w->Thread;
    }
    MSG m{};
    m.hwnd = hWnd;
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    state.Queues[thread].Posted.push_back(m);
    return TRUE;
}

WINBOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                            UINT wRemoveMsg)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0,
                       true)
               ? TRUE
               : FALSE;
}

WINBOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true)) {
        // Nothing could ever arrive: end the loop instead of hanging.
        *lpMsg = MSG{};
        lpMsg->message = WM_QUIT;
        return FALSE;
    }
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

WINBOOL WINAPI TranslateMessage(const MSG*)
{
    return FALSE; // no keyboard on the host
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg)
{
    if (lpMsg == nullptr || lpMsg->hwnd == nullptr) {
        return 0;
    }
    return SendMessageA(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

VOID WINAPI PostQuitMessage(int nExitCode)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    ThreadQueue& queue = MyQueueLocked(state);
    queue.Quit = true;
    queue.QuitCode = nExitCode;
}

WINBOOL WINAPI IsDialogMessageA(HWND, LPMSG)
{
    return FALSE; // no keyboard navigation on the host
}

WINBOOL WINAPI WinHelpA(HWND hWndMain, LPCSTR lpszHelp, UINT uCommand, ULONG_PTR dwData)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Help.push_back(
        kald::host::WinHelpRecord{hWndMain, lpszHelp != nullptr ? lpszHelp : "", uCommand, dwData});
    return TRUE;
}

} // extern "C"

namespace kald::host {

size_t PumpMessages()
{
    size_t dispatched = 0;
    MSG m;
    while (dispatched < kPumpMessageLimit && NextMessage(&m, nullptr, 0, 0, true, false)) {
        DispatchMessageA(&m);
        ++dispatched;
    }
    if (dispatched == kPumpMessageLimit && NextMessage(&m, nullptr, 0, 0, false, false)) {
        std::fprintf(stderr,
                     "PumpMessages: stopped after %zu messages; message %#x for window %p is "
                     "still due\n",
                     dispatched, m.message, static_cast<void*>(m.hwnd));
    }
    return dispatched;
}

std::vector<WinHelpRecord> WinHelpCalls()
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Help;
}

void ClearWinHelpCalls()
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Help.clear();
}

std::vector<ControlInfo> DescribeChildren(HWND parent)
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::vector<ControlInfo> out;
    Window* p = FindWindowLocked(state, parent);
    if (p == nullptr) {
        return out;
    }
    const uintptr_t focus = MyQueueLocked(state).Focus;
    for (uintptr_t child : p->Children) {
        const Window* w = FindWindowLocked(state, WindowHandle(child));
        if (w == nullptr) {
            continue;
        }
        const bool trackbar = strcasecmp(w->ClassName.c_str(), TRACKBAR_CLASSA) == 0;
        ControlInfo info{};
        info.window = WindowHandle(child);
        info.id = static_cast<int>(w->Id);
        info.className = w->ClassName;
        info.text = w->Text;
        info.style = w->Style;
        info.rect = w->Rect;
        info.enabled = (w->Style & WS_DISABLED) == 0;
        info.visible = (w->Style & WS_VISIBLE) != 0;
        info.focused = focus == child;
        info.check = w->Check;
        if (trackbar) {
            info.position = w->Position;
            info.rangeMin = w->RangeMin;
            info.rangeMax = w->RangeMax;
            info.ticFrequency = w->TicFrequency;
        }
        out.push_back(info);
    }
    return out;
}

size_t OpenWindowCount()
{
    WindowState& state = TheWindows();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Windows.size();
}

} // namespace kald::host
