// Dialogs: the binary templates (DLGTEMPLATEEX and DLGTEMPLATE) read with
// every field bounds-checked, dialog creation with its controls and
// WM_INITDIALOG, the dialog window procedure, dialog-unit conversion and
// the dialog-item helpers.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kald_host/windows.h"
#include "win32_window_state.h"

namespace kald::host::win32 {

namespace {

// A template handed over without its size (CreateDialogIndirectParamA) is
// read up to this many bytes; one that claims more is refused.
constexpr size_t kUnsizedTemplateLimit = 1 << 20;

struct Name {
    bool present = false;
    bool ordinal = false;
    WORD number = 0;
    std::string text;
};

struct Item {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    Name className;
    Name title;
    const uint8_t* creationData = nullptr; // the size word and the bytes after it
};

struct Template {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    Name className;
    std::string title;
    bool hasFont = false;
    WORD points = 0;
    std::vector<Item> items;
};

// Reads little-endian fields within [0, size). Every read fails once past
// the end; `truncated` then says so.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : Data(data), Size(size) {}

    bool Bytes(size_t count, const uint8_t** at)
    {
        if (count > Size - Pos) {
            Truncated = true;
            return false;
        }
        *at = Data + Pos;
        Pos += count;
        return true;
    }
    bool Word(WORD& value)
    {
        const uint8_t* p = nullptr;
        if (!Bytes(2, &p)) {
            return false;
        }
        value = static_cast<WORD>(p[0] | (p[1] << 8));
        return true;
    }
    bool Short(short& value)
    {
        WORD w = 0;
        if (!Word(w)) {
            return false;
        }
        value = static_cast<short>(w);
        return true;
    }
    bool Dword(DWORD& value)
    {
        WORD low = 0;
        WORD high = 0;
        if (!Word(low) || !Word(high)) {
            return false;
        }
        value = static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
        return true;
    }
    // A NUL-terminated UTF-16 string.
    bool String(std::string& out)
    {
        const size_t start = Pos;
        WORD unit = 0;
        do {
            if (!Word(unit)) {
                return false;
            }
        } while (unit != 0);
        out = NarrowFromUtf16(Data + start, (Pos - start) / 2 - 1);
        return true;
    }
    // 0x0000 (none), 0xFFFF and an ordinal, or a string.
    bool NameOrOrdinal(Name& name)
    {
        WORD first = 0;
        if (!Word(first)) {
            return false;
        }
        if (first == 0x0000) {
            return true;
        }
        name.present = true;
        if (first == 0xFFFF) {
            name.ordinal = true;
            return Word(name.number);
        }
        Pos -= 2;
        return String(name.text);
    }
    bool AlignDword()
    {
        const size_t aligned = (Pos + 3) & ~static_cast<size_t>(3);
        if (aligned > Size) {
            Truncated = true;
            return false;
        }
        Pos = aligned;
        return true;
    }

    bool Truncated = false;

  private:
    const uint8_t* Data;
    size_t Size;
    size_t Pos = 0;
};

// The class names of the predefined control ordinals.
const char* ClassOfOrdinal(WORD ordinal)
{
    switch (ordinal) {
    case 0x0080:
        return "Button";
    case 0x0081:
        return "Edit";
    case 0x0082:
        return "Static";
    case 0x0083:
        return "ListBox";
    case 0x0084:
        return "ScrollBar";
    case 0x0085:
        return "ComboBox";
    default:
        return nullptr;
    }
}

// Parses a template. Returns ERROR_SUCCESS, ERROR_RESOURCE_DATA_NOT_FOUND
// for one that ends early, or ERROR_INVALID_PARAMETER for one that is
// malformed.
DWORD Parse(const uint8_t* data, size_t size, Template& out)
{
    Reader r(data, size);
    const auto fail = [&r] { return r.Truncated ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_INVALID_PARAMETER; };
    WORD version = 0;
    WORD signature = 0;
    if (!r.Word(version) || !r.Word(signature)) {
        return fail();
    }
    const bool extended = signature == 0xFFFF;
    WORD count = 0;
    if (extended) {
        DWORD helpId = 0;
        if (version != 1) {
            return ERROR_INVALID_PARAMETER;
        }
        if (!r.Dword(helpId) || !r.Dword(out.exStyle) || !r.Dword(out.style)) {
            return fail();
        }
    } else {
        out.style = static_cast<DWORD>(version) | (static_cast<DWORD>(signature) << 16);
        if (!r.Dword(out.exStyle)) {
            return fail();
        }
    }
    Name menu;
    Name title;
    if (!r.Word(count) || !r.Short(out.x) || !r.Short(out.y) || !r.Short(out.cx) ||
        !r.Short(out.cy) || !r.NameOrOrdinal(menu) || !r.NameOrOrdinal(out.className) ||
        !r.NameOrOrdinal(title)) {
        return fail();
    }
    if (out.className.present && out.className.ordinal) {
        return ERROR_INVALID_PARAMETER; // a dialog's own class is named
    }
    out.title = title.ordinal ? std::string() : title.text;
    if ((out.style & DS_SETFONT) != 0) {
        std::string face;
        out.hasFont = true;
        if (!r.Word(out.points)) {
            return fail();
        }
        if (extended) {
            WORD weight = 0;
            const uint8_t* italicAndCharset = nullptr;
            if (!r.Word(weight) || !r.Bytes(2, &italicAndCharset)) {
                return fail();
            }
        }
        if (!r.String(face)) {
            return fail();
        }
    }
    for (WORD i = 0; i < count; ++i) {
        Item item;
        if (!r.AlignDword()) {
            return fail();
        }
        if (extended) {
            DWORD helpId = 0;
            DWORD id = 0;
            if (!r.Dword(helpId) || !r.Dword(item.exStyle) || !r.Dword(item.style) ||
                !r.Short(item.x) || !r.Short(item.y) || !r.Short(item.cx) || !r.Short(item.cy) ||
                !r.Dword(id)) {
                return fail();
            }
            item.id = static_cast<int>(id);
        } else {
            WORD id = 0;
            if (!r.Dword(item.style) || !r.Dword(item.exStyle) || !r.Short(item.x) ||
                !r.Short(item.y) || !r.Short(item.cx) || !r.Short(item.cy) || !r.Word(id)) {
                return fail();
            }
            item.id = id;
        }
        WORD extra = 0;
        const uint8_t* extraBytes = nullptr;
        if (!r.NameOrOrdinal(item.className) || !r.NameOrOrdinal(item.title) || !r.Word(extra) ||
            !r.Bytes(extra, &extraBytes)) {
            return fail();
        }
        if (!item.className.present) {
            return ERROR_INVALID_PARAMETER; // every control has a class
        }
        if (item.className.ordinal) {
            const char* name = ClassOfOrdinal(item.className.number);
            if (name == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            item.className.text = name;
        }
        if (extra != 0) {
            item.creationData = extraBytes - 2;
        }
        out.items.push_back(item);
    }
    return ERROR_SUCCESS;
}

// a * b / c rounded half away from zero, as the platform's MulDiv.
LONG Scale(LONG a, int b, int c)
{
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t half = c / 2;
    return static_cast<LONG>(product >= 0 ? (product + half) / c : (product - half) / c);
}

// The dialog procedure's own answers for these messages are the result;
// for the rest it stores the result in DWLP_MSGRESULT.
bool ReturnsDirectly(UINT msg)
{
    return msg == WM_INITDIALOG || (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) ||
           msg == 0x0039 /* WM_COMPAREITEM */ || msg == 0x002E /* WM_VKEYTOITEM */ ||
           msg == 0x002F /* WM_CHARTOITEM */ || msg == 0x0037 /* WM_QUERYDRAGICON */;
}

HWND CreateFromTemplate(HINSTANCE instance, const uint8_t* data, size_t size, HWND parent,
                        DLGPROC proc, LPARAM param)
{
    Template t;
    const DWORD error = data != nullptr ? Parse(data, size, t) : ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    // Base units of the font: 6 x 13 pixels for 8 points, scaled by size.
    int baseX = 8;
    int baseY = 16;
    if (t.hasFont && t.points > 0) {
        baseX = std::max<LONG>(1, Scale(6, t.points, 8));
        baseY = std::max<LONG>(1, Scale(13, t.points, 8));
    }
    const char* dialogClass = t.className.present ? t.className.text.c_str() : "#32770";
    HWND dialog = CreateWindowExA(t.exStyle, dialogClass, t.title.c_str(),
                                  t.style & ~static_cast<DWORD>(WS_VISIBLE), Scale(t.x, baseX, 4),
                                  Scale(t.y, baseY, 8), Scale(t.cx, baseX, 4),
                                  Scale(t.cy, baseY, 8), parent, nullptr, instance, nullptr);
    if (dialog == nullptr) {
        return nullptr;
    }
    // The font of the template, as a token distinct per dialog.
    const HFONT font = t.hasFont ? reinterpret_cast<HFONT>(WindowValue(dialog) + 2) : nullptr;
    if (!WithWindowQuiet(dialog, false, [&](WindowState&, Window& w) {
            w.IsDialog = true;
            w.BaseX = baseX;
            w.BaseY = baseY;
            if (w.Extra.size() < DLGWINDOWEXTRA) {
                w.Extra.resize(DLGWINDOWEXTRA);
            }
            std::memcpy(w.Extra.data() + DWLP_DLGPROC, &proc, sizeof(proc));
            return true;
        })) {
        return nullptr;
    }
    if (font != nullptr) {
        SendMessageA(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    HWND firstTab = nullptr;
    for (const Item& item : t.items) {
        HWND control = CreateWindowExA(
            item.exStyle, item.className.text.c_str(),
            item.title.ordinal ? "" : item.title.text.c_str(), item.style | WS_CHILD,
            Scale(item.x, baseX, 4), Scale(item.y, baseY, 8), Scale(item.cx, baseX, 4),
            Scale(item.cy, baseY, 8), dialog,
            reinterpret_cast<HMENU>(static_cast<uintptr_t>(static_cast<intptr_t>(item.id))),
            instance, const_cast<uint8_t*>(item.creationData));
        if (control == nullptr) {
            const DWORD failure = GetLastError();
            DestroyWindow(dialog);
            SetLastError(failure);
            return nullptr;
        }
        if (font != nullptr) {
            SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
        if (firstTab == nullptr && (item.style & WS_TABSTOP) != 0 &&
            (item.style & WS_DISABLED) == 0) {
            firstTab = control;
        }
    }
    const LRESULT focus =
        SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), param);
    if (!IsWindow(dialog)) {
        return nullptr;
    }
    // TRUE from WM_INITDIALOG asks the dialog manager to focus that control.
    if (focus != 0 && firstTab != nullptr && IsWindow(firstTab)) {
        SetFocus(firstTab);
    }
    if ((t.style & WS_VISIBLE) != 0) {
        ShowWindow(dialog, SW_SHOWNORMAL);
    }
    return dialog;
}

} // namespace

} // namespace kald::host::win32

using namespace kald::host::win32;

extern "C" {

HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate,
                                       HWND hWndParent, DLGPROC lpDialogFunc,
                                       LPARAM dwInitParam)
{
    return CreateFromTemplate(hInstance, reinterpret_cast<const uint8_t*>(lpTemplate),
                              kUnsizedTemplateLimit, hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam)
{
    HRSRC found = FindResourceA(hInstance, lpTemplateName, RT_DIALOG);
    if (found == nullptr) {
        return nullptr; // FindResourceA said why
    }
    HGLOBAL loaded = LoadResource(hInstance, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(hInstance, found);
    if (data == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return CreateFromTemplate(hInstance, static_cast<const uint8_t*>(data), size, hWndParent,
                              lpDialogFunc, dwInitParam);
}

LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    DLGPROC proc = nullptr;
    if (!WithWindowQuiet(hDlg, false, [&](WindowState&, Window& w) {
            if (w.Extra.size() >= DLGWINDOWEXTRA) {
                std::memcpy(&proc, w.Extra.data() + DWLP_DLGPROC, sizeof(proc));
                const LRESULT cleared = 0;
                std::memcpy(w.Extra.data() + DWLP_MSGRESULT, &cleared, sizeof(cleared));
            }
            return true;
        })) {
        return 0;
    }
    if (proc != nullptr) {
        const INT_PTR handled = proc(hDlg, Msg, wParam, lParam);
        if (handled != 0) {
            if (ReturnsDirectly(Msg) || !IsWindow(hDlg)) {
                return handled;
            }
            return GetWindowLongPtrA(hDlg, DWLP_MSGRESULT);
        }
        if (!IsWindow(hDlg)) {
            return 0;
        }
    }
    switch (Msg) {
    case WM_ERASEBKGND:
        return TRUE; // the dialog's face colour
    case WM_INITDIALOG:
        // A procedure that answered FALSE has set the focus itself, or wants
        // none; only a dialog without a procedure gets the first tab stop.
        return proc == nullptr ? TRUE : FALSE;
    case WM_CLOSE:
        // A modeless dialog closes through its Cancel command.
        SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
        return 0;
    default:
        return DefWindowProcA(hDlg, Msg, wParam, lParam);
    }
}

WINBOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect)
{
    if (lpRect == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int baseX = 0;
    int baseY = 0;
    if (!WithWindow(hDlg, false, [&](WindowState&, Window& w) {
            if (!w.IsDialog) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return false;
            }
            baseX = w.BaseX;
            baseY = w.BaseY;
            return true;
        })) {
        return FALSE;
    }
    lpRect->left = Scale(lpRect->left, baseX, 4);
    lpRect->right = Scale(lpRect->right, baseX, 4);
    lpRect->top = Scale(lpRect->top, baseY, 8);
    lpRect->bottom = Scale(lpRect->bottom, baseY, 8);
    return TRUE;
}

LONG WINAPI GetDialogBaseUnits(VOID)
{
    return MAKELONG(8, 16); // the system font's
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

WINBOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck)
{
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (item == nullptr) {
        return FALSE;
    }
    SendMessageA(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton)
{
    HWND item = GetDlgItem(hDlg, nIDButton);
    return item != nullptr ? static_cast<UINT>(SendMessageA(item, BM_GETCHECK, 0, 0)) : 0;
}

WINBOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton,
                                int nIDCheckButton)
{
    std::vector<std::pair<HWND, int>> buttons;
    if (!WithWindow(hDlg, false, [&](WindowState& state, Window& w) {
            for (uintptr_t child : w.Children) {
                Window* c = FindWindowLocked(state, WindowHandle(child));
                const int id = c != nullptr ? static_cast<int>(c->Id) : 0;
                if (c != nullptr && id >= nIDFirstButton && id <= nIDLastButton) {
                    buttons.emplace_back(WindowHandle(child), id);
                }
            }
            return true;
        })) {
        return FALSE;
    }
    for (const auto& [button, id] : buttons) {
        SendMessageA(button, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND hDlg, int nIDDlgItem, WINBOOL* lpTranslated, WINBOOL bSigned)
{
    if (lpTranslated != nullptr) {
        *lpTranslated = FALSE;
    }
    char text[64];
    if (GetDlgItem(hDlg, nIDDlgItem) == nullptr) {
        return 0;
    }
    GetDlgItemTextA(hDlg, nIDDlgItem, text, sizeof(text));
    const char* p = text;
    while (*p == ' ') {
        ++p;
    }
    const bool negative = *p == '-';
    if (negative && !bSigned) {
        return 0;
    }
    const char* digits = negative ? p + 1 : p;
    if (*digits < '0' || *digits > '9') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(p, &end, 10);
    while (*end == ' ') {
        ++end;
    }
    const bool fits = bSigned ? (value >= INT32_MIN && value <= INT32_MAX) : value <= UINT32_MAX;
    if (*end != '\0' || errno != 0 || !fits) {
        return 0;
    }
    if (lpTranslated != nullptr) {
        *lpTranslated = TRUE;
    }
    return static_cast<UINT>(value);
}

WINBOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, WINBOOL bSigned)
{
    char text[16];
    if (bSigned) {
        std::snprintf(text, sizeof(text), "%d", static_cast<int>(uValue));
    } else {
        std::snprintf(text, sizeof(text), "%u", uValue);
    }
    return SetDlgItemTextA(hDlg, nIDDlgItem, text);
}

} // extern "C"

namespace kald::host {

HWND CreateDialogFromMemory(HINSTANCE instance, const void* data, size_t size, HWND parent,
                            DLGPROC proc, LPARAM param)
{
    return CreateFromTemplate(instance, static_cast<const uint8_t*>(data), size, parent, proc,
                              param);
}

} // namespace kald::host
