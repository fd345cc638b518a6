// The host window manager as the property pages use it: a dialog built
// from a binary template with the controls the pages hold, clicks, drags,
// posted trackbar moves, paint and erase messages, bad templates,
// destruction and WinHelpA.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kald_host/commctrl.h"
#include "kald_host/host_win32.h"
#include "kald_host/windows.h"

using namespace kald::host;

namespace {

// Assembles a template in the platform's little-endian binary layout.
class TemplateBuilder {
  public:
    void Word(uint16_t v)
    {
        Bytes.push_back(static_cast<uint8_t>(v));
        Bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Dword(uint32_t v)
    {
        Word(static_cast<uint16_t>(v));
        Word(static_cast<uint16_t>(v >> 16));
    }
    void String(const std::string& s)
    {
        for (char c : s) {
            Word(static_cast<uint8_t>(c));
        }
        Word(0);
    }
    void Ordinal(uint16_t v)
    {
        Word(0xFFFF);
        Word(v);
    }
    void Align()
    {
        while (Bytes.size() % 4 != 0) {
            Bytes.push_back(0);
        }
    }

    // DLGTEMPLATEEX with the font "MS Shell Dlg" 8, no menu, the dialog class.
    void ExHeader(uint32_t style, uint16_t items, int16_t cx, int16_t cy)
    {
        Word(1);      // dlgVer
        Word(0xFFFF); // signature
        Dword(0);     // helpID
        Dword(0);     // exStyle
        Dword(style);
        Word(items);
        Word(0); // x
        Word(0); // y
        Word(static_cast<uint16_t>(cx));
        Word(static_cast<uint16_t>(cy));
        Word(0);  // menu
        Word(0);  // class
        String(""); // title
        Word(8);   // point size
        Word(400); // weight
        Bytes.push_back(0); // italic
        Bytes.push_back(1); // charset
        String("MS Shell Dlg");
    }
    // DLGITEMTEMPLATEEX with a class ordinal or name and no creation data.
    void ExItem(uint32_t style, int16_t x, int16_t y, int16_t cx, int16_t cy, uint32_t id,
                uint16_t classOrdinal, const std::string& className, const std::string& title)
    {
        Align();
        Dword(0); // helpID
        Dword(0); // exStyle
        Dword(style);
        for (int16_t v : {x, y, cx, cy}) {
            Word(static_cast<uint16_t>(v));
        }
        Dword(id);
        if (classOrdinal != 0) {
            Ordinal(classOrdinal);
        } else {
            String(className);
        }
        String(title);
        Word(0); // creation data
    }

    std::vector<uint8_t> Bytes;
};

constexpr uint32_t kChild = WS_CHILD | WS_VISIBLE;
constexpr uint16_t kButton = 0x0080;
constexpr uint16_t kStatic = 0x0082;

enum : int {
    kLabel = 1001,
    kSlider = 1002,
    kCheck = 1003,
    kQuestion1 = 1004,
    kYes = 1005,
    kNo = 1006,
    kQuestion2 = 1007,
    kHz60 = 1008,
    kHz50 = 1009,
    kHelp = 1010,
};

// A page-like dialog: group box, label, slider, check box, two groups of
// automatic radio buttons (each after a WS_GROUP label) and a push button.
std::vector<uint8_t> PageTemplate()
{
    TemplateBuilder t;
    t.ExHeader(WS_CHILD | DS_SETFONT, 11, 235, 252);
    t.ExItem(kChild | BS_GROUPBOX, 7, 15, 221, 165, 0xFFFFFFFF, kButton, "", "Box");
    t.ExItem(kChild | SS_LEFT | WS_GROUP, 15, 28, 64, 8, kLabel, kStatic, "", "&Label");
    t.ExItem(kChild | TBS_AUTOTICKS | WS_TABSTOP, 27, 55, 182, 11, kSlider, 0, "msctls_trackbar32",
             "Slider1");
    t.ExItem(kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 31, 178, 120, 11, kCheck, kButton, "",
             "Automatic &Color");
    t.ExItem(kChild | SS_LEFT | WS_GROUP, 15, 71, 166, 10, kQuestion1, kStatic, "", "Q1");
    t.ExItem(kChild | BS_AUTORADIOBUTTON, 39, 84, 46, 10, kYes, kButton, "", "Yes");
    t.ExItem(kChild | BS_AUTORADIOBUTTON, 106, 84, 53, 10, kNo, kButton, "", "No");
    t.ExItem(kChild | SS_LEFT | WS_GROUP, 16, 101, 122, 11, kQuestion2, kStatic, "", "Q2");
    t.ExItem(kChild | BS_AUTORADIOBUTTON, 39, 114, 67, 10, kHz60, kButton, "", "Yes (60 Hz)");
    t.ExItem(kChild | BS_AUTORADIOBUTTON, 106, 114, 77, 10, kHz50, kButton, "", "No (50 Hz)");
    t.ExItem(kChild | BS_PUSHBUTTON | WS_TABSTOP, 134, 215, 50, 14, kHelp, kButton, "", "&Help");
    return t.Bytes;
}

struct Message {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// What the dialog procedure of the fixture saw and how it answers.
struct DialogLog {
    std::vector<Message> messages;
    size_t childrenAtInit = 0;
    INT_PTR initResult = FALSE;
    // WM_COMMAND: the sender's check state when the notification came.
    std::vector<int> checkAtCommand;
    // WM_HSCROLL: the trackbar position when the notification came.
    std::vector<LRESULT> positionAtScroll;
    // WM_ERASEBKGND answer: FALSE leaves it to the default processing.
    bool handleErase = false;
    // WM_PAINT: paint ourselves and keep what BeginPaint said.
    bool paintSelf = false;
    std::vector<BOOL> fErase;
};
DialogLog* TheLog = nullptr;

INT_PTR CALLBACK RecordingDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    DialogLog& log = *TheLog;
    log.messages.push_back({hwnd, msg, wParam, lParam});
    switch (msg) {
    case WM_INITDIALOG:
        log.childrenAtInit = DescribeChildren(hwnd).size();
        return log.initResult;
    case WM_COMMAND:
        log.checkAtCommand.push_back(
            static_cast<int>(SendMessageA(reinterpret_cast<HWND>(lParam), BM_GETCHECK, 0, 0)));
        return TRUE;
    case WM_HSCROLL:
        log.positionAtScroll.push_back(
            SendMessageA(reinterpret_cast<HWND>(lParam), TBM_GETPOS, 0, 0));
        return TRUE;
    case WM_ERASEBKGND:
        return log.handleErase ? TRUE : FALSE;
    case WM_PAINT:
        if (log.paintSelf) {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            log.fErase.push_back(ps.fErase);
            EndPaint(hwnd, &ps);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

std::vector<UINT> MessagesOf(const DialogLog& log, std::set<UINT> wanted)
{
    std::vector<UINT> out;
    for (const Message& m : log.messages) {
        if (wanted.count(m.msg) != 0) {
            out.push_back(m.msg);
        }
    }
    return out;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        TheLog = &Log;
        WNDCLASSA frameClass{};
        frameClass.lpfnWndProc = DefWindowProcA;
        frameClass.lpszClassName = "KaldTestFrame";
        ASSERT_NE(RegisterClassA(&frameClass), 0);
        Frame = CreateWindowExA(0, "KaldTestFrame", "Frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 600, 500,
                                nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(Frame, nullptr);
        PumpMessages(); // the frame's first paint
    }
    void TearDown() override
    {
        ResetWin32();
        EXPECT_EQ(OpenWindowCount(), 0u);
        TheLog = nullptr;
    }

    HWND CreatePage(LPARAM param = 0x1234)
    {
        const std::vector<uint8_t> bytes = PageTemplate();
        return CreateDialogFromMemory(nullptr, bytes.data(), bytes.size(), Frame,
                                      RecordingDialogProc, param);
    }
    HWND Item(int id) { return GetDlgItem(Page, id); }
    int Check(int id) { return static_cast<int>(IsDlgButtonChecked(Page, id)); }

    DialogLog Log;
    HWND Frame = nullptr;
    HWND Page = nullptr;
};

TEST_F(WindowTest, TemplateBecomesControlsWithPixelRectangles)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    EXPECT_EQ(GetParent(Page), Frame);
    RECT client{};
    ASSERT_TRUE(GetClientRect(Page, &client));
    // 235 x 252 dialog units with base units 6 x 13: 352.5 -> 353, 409.5 -> 410.
    EXPECT_EQ(client.right, 353);
    EXPECT_EQ(client.bottom, 410);

    struct Expected {
        int id;
        const char* className;
        const char* text;
        DWORD type; // the style's low byte
        RECT rect;  // x * 6 / 4, y * 13 / 8, rounded half away from zero
    };
    const Expected expected[] = {
        {-1, "Button", "Box", BS_GROUPBOX, {11, 24, 343, 292}},
        {kLabel, "Static", "&Label", SS_LEFT, {23, 46, 119, 59}},
        {kSlider, "msctls_trackbar32", "Slider1", TBS_AUTOTICKS, {41, 89, 314, 107}},
        {kCheck, "Button", "Automatic &Color", BS_AUTOCHECKBOX, {47, 289, 227, 307}},
        {kQuestion1, "Static", "Q1", SS_LEFT, {23, 115, 272, 131}},
        {kYes, "Button", "Yes", BS_AUTORADIOBUTTON, {59, 137, 128, 153}},
        {kNo, "Button", "No", BS_AUTORADIOBUTTON, {159, 137, 239, 153}},
        {kQuestion2, "Static", "Q2", SS_LEFT, {24, 164, 207, 182}},
        {kHz60, "Button", "Yes (60 Hz)", BS_AUTORADIOBUTTON, {59, 185, 160, 201}},
        {kHz50, "Button", "No (50 Hz)", BS_AUTORADIOBUTTON, {159, 185, 275, 201}},
        {kHelp, "Button", "&Help", BS_PUSHBUTTON, {201, 349, 276, 372}},
    };
    const std::vector<ControlInfo> children = DescribeChildren(Page);
    ASSERT_EQ(children.size(), std::size(expected));
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(expected[i].text);
        const ControlInfo& c = children[i];
        EXPECT_EQ(c.id, expected[i].id);
        EXPECT_EQ(GetDlgCtrlID(c.window), expected[i].id);
        EXPECT_EQ(c.className, expected[i].className);
        EXPECT_EQ(c.text, expected[i].text);
        EXPECT_EQ(c.style & 0xFF, expected[i].type);
        EXPECT_EQ(c.style & WS_CHILD, static_cast<DWORD>(WS_CHILD));
        EXPECT_EQ(c.rect.left, expected[i].rect.left);
        EXPECT_EQ(c.rect.top, expected[i].rect.top);
        EXPECT_EQ(c.rect.right, expected[i].rect.right);
        EXPECT_EQ(c.rect.bottom, expected[i].rect.bottom);
        EXPECT_TRUE(c.enabled);
        EXPECT_TRUE(c.visible);
    }
    // The slider starts at 0 in 0..100; GetClassNameA and MapDialogRect agree.
    EXPECT_EQ(children[2].rangeMin, 0);
    EXPECT_EQ(children[2].rangeMax, 100);
    char name[32];
    EXPECT_EQ(GetClassNameA(Item(kSlider), name, sizeof(name)), 17);
    EXPECT_STREQ(name, TRACKBAR_CLASSA);
    RECT units{27, 55, 209, 66};
    ASSERT_TRUE(MapDialogRect(Page, &units));
    EXPECT_EQ(units.left, 41);
    EXPECT_EQ(units.top, 89);
    EXPECT_EQ(units.right, 314);
    EXPECT_EQ(units.bottom, 107);
    EXPECT_EQ(GetDialogBaseUnits(), MAKELONG(8, 16));
}

TEST_F(WindowTest, InitDialogComesAfterTheControlsWithFirstTabStopAndParameter)
{
    Log.initResult = TRUE;
    Page = CreatePage(0x5A5A);
    ASSERT_NE(Page, nullptr);
    // The procedure sees the font, then WM_INITDIALOG once every control exists.
    EXPECT_EQ(MessagesOf(Log, {WM_SETFONT, WM_INITDIALOG, WM_CREATE}),
              (std::vector<UINT>{WM_SETFONT, WM_INITDIALOG}));
    EXPECT_EQ(Log.childrenAtInit, 11u);
    for (const Message& m : Log.messages) {
        if (m.msg == WM_INITDIALOG) {
            EXPECT_EQ(reinterpret_cast<HWND>(m.wParam), Item(kSlider)); // first WS_TABSTOP
            EXPECT_EQ(m.lParam, 0x5A5A);
        }
    }
    // TRUE from WM_INITDIALOG puts the focus there.
    EXPECT_EQ(GetFocus(), Item(kSlider));
    // The template has no WS_VISIBLE: the dialog stays hidden until shown.
    EXPECT_FALSE(IsWindowVisible(Page));
}

TEST_F(WindowTest, InitDialogAnsweredFalseLeavesTheFocusAlone)
{
    Log.initResult = FALSE;
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    // The procedure declined: it set the focus itself or wants none.
    EXPECT_EQ(GetFocus(), nullptr);
}

TEST_F(WindowTest, ClicksChangeAutomaticButtonsBeforeNotifying)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    struct Click {
        int id;
        // Checks after the click of kCheck, kYes, kNo, kHz60, kHz50.
        int check, yes, no, hz60, hz50;
    };
    const Click clicks[] = {
        {kCheck, 1, 0, 0, 0, 0}, // the box toggles on
        {kYes, 1, 1, 0, 0, 0},
        {kHz50, 1, 1, 0, 0, 1},  // another group: the first keeps its choice
        {kNo, 1, 0, 1, 0, 1},    // exclusive within its group
        {kNo, 1, 0, 1, 0, 1},    // clicking the chosen one keeps it
        {kHz60, 1, 0, 1, 1, 0},
        {kCheck, 0, 0, 1, 1, 0}, // and toggles off
        {kHelp, 0, 0, 1, 1, 0},  // a push button only notifies
    };
    for (const Click& c : clicks) {
        SCOPED_TRACE(c.id);
        Log.messages.clear();
        Log.checkAtCommand.clear();
        ClickControl(Item(c.id));
        const std::vector<UINT> commands = MessagesOf(Log, {WM_COMMAND});
        ASSERT_EQ(commands.size(), 1u);
        const Message& m = Log.messages.back();
        EXPECT_EQ(m.wParam, MAKEWPARAM(c.id, BN_CLICKED));
        EXPECT_EQ(reinterpret_cast<HWND>(m.lParam), Item(c.id));
        // The state had changed when the parent heard of it.
        EXPECT_EQ(Log.checkAtCommand[0], c.id == kHelp ? 0 : Check(c.id));
        EXPECT_EQ(Check(kCheck), c.check);
        EXPECT_EQ(Check(kYes), c.yes);
        EXPECT_EQ(Check(kNo), c.no);
        EXPECT_EQ(Check(kHz60), c.hz60);
        EXPECT_EQ(Check(kHz50), c.hz50);
    }
}

TEST_F(WindowTest, DisabledControlsAndGroupBoxesIgnoreClicks)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    EnableWindow(Item(kCheck), FALSE);
    ClickControl(Item(kCheck));
    SendMessageA(Item(kCheck), BM_CLICK, 0, 0);
    EXPECT_EQ(Check(kCheck), 0);

    // An enabled control in a disabled dialog gets no user input either.
    EnableWindow(Page, FALSE);
    ClickControl(Item(kYes));
    EXPECT_EQ(Check(kYes), 0);
    EnableWindow(Page, TRUE);

    ClickControl(GetWindow(Page, GW_CHILD)); // the group box
    EXPECT_TRUE(MessagesOf(Log, {WM_COMMAND}).empty());

    // Enabled again, the box works; EnableWindow reports the old state.
    EXPECT_TRUE(EnableWindow(Item(kCheck), TRUE));
    EXPECT_FALSE(EnableWindow(Item(kCheck), TRUE));
    ClickControl(Item(kCheck));
    EXPECT_EQ(Check(kCheck), 1);
}

TEST_F(WindowTest, DragSendsTrackThenPositionThenEndWithClampedPositions)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    HWND slider = Item(kSlider);
    SendMessageA(slider, TBM_SETRANGEMIN, TRUE, 10);
    SendMessageA(slider, TBM_SETRANGEMAX, TRUE, 50);
    SendMessageA(slider, TBM_SETPOS, TRUE, 20);
    EXPECT_TRUE(MessagesOf(Log, {WM_HSCROLL}).empty()); // TBM_ messages never notify

    DragTrackbar(slider, {5, 30, 70});
    struct Scroll {
        WORD code;
        WORD position;
    };
    const Scroll expected[] = {
        {TB_THUMBTRACK, 10}, {TB_THUMBTRACK, 30},    {TB_THUMBTRACK, 50},
        {TB_THUMBPOSITION, 50}, {TB_ENDTRACK, 0},
    };
    std::vector<Message> scrolls;
    for (const Message& m : Log.messages) {
        if (m.msg == WM_HSCROLL) {
            scrolls.push_back(m);
        }
    }
    ASSERT_EQ(scrolls.size(), std::size(expected));
    for (size_t i = 0; i < scrolls.size(); ++i) {
        EXPECT_EQ(LOWORD(scrolls[i].wParam), expected[i].code) << i;
        EXPECT_EQ(HIWORD(scrolls[i].wParam), expected[i].position) << i;
        EXPECT_EQ(reinterpret_cast<HWND>(scrolls[i].lParam), slider);
    }
    // The slider had moved when each notification came.
    EXPECT_EQ(Log.positionAtScroll, (std::vector<LRESULT>{10, 30, 50, 50, 50}));
    EXPECT_EQ(GetFocus(), slider);

    // Disabled, it ignores the user.
    Log.messages.clear();
    EnableWindow(slider, FALSE);
    DragTrackbar(slider, {15});
    EXPECT_TRUE(MessagesOf(Log, {WM_HSCROLL}).empty());
    EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 50);
}

TEST_F(WindowTest, TrackbarRangeAndPositionMessages)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    HWND slider = Item(kSlider);
    struct Case {
        UINT msg;
        LPARAM lParam;
        LRESULT position, rangeMin, rangeMax;
    };
    const Case cases[] = {
        {TBM_SETPOS, 60, 60, 0, 100},
        {TBM_SETPOS, 101, 100, 0, 100},                     // clamped to the top
        {TBM_SETRANGEMAX, 63, 63, 0, 63},                   // the position follows the range
        {TBM_SETPOS, -5, 0, 0, 63},                         // and to the bottom
        {TBM_SETRANGEMIN, 33, 33, 33, 63},
        {TBM_SETRANGE, MAKELPARAM(-20, 20), 20, -20, 20},   // 16-bit signed ends
        {TBM_SETPOS, -7, -7, -20, 20},
    };
    for (const Case& c : cases) {
        SendMessageA(slider, c.msg, TRUE, c.lParam);
        EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), c.position) << c.msg << " " << c.lParam;
        EXPECT_EQ(SendMessageA(slider, TBM_GETRANGEMIN, 0, 0), c.rangeMin);
        EXPECT_EQ(SendMessageA(slider, TBM_GETRANGEMAX, 0, 0), c.rangeMax);
    }
    EXPECT_EQ(SendMessageA(slider, TBM_SETPAGESIZE, 0, 5), 20); // returns the old size
    EXPECT_EQ(SendMessageA(slider, TBM_GETPAGESIZE, 0, 0), 5);
    SendMessageA(slider, TBM_SETTICFREQ, 17, 0);
    EXPECT_EQ(DescribeChildren(Page)[2].ticFrequency, 17);
}

TEST_F(WindowTest, PostedPositionTakesEffectWhenPumped)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    HWND slider = Item(kSlider);
    ASSERT_TRUE(PostMessageA(slider, TBM_SETPOS, TRUE, 42));
    EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 0);
    MSG peeked{};
    ASSERT_TRUE(PeekMessageA(&peeked, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(peeked.message, static_cast<UINT>(TBM_SETPOS));
    EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 0); // peeking leaves it queued
    EXPECT_GE(PumpMessages(), 1u);
    EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 42);
    EXPECT_EQ(PumpMessages(), 0u);
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(0x4), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, InvalidatedDialogIsPaintedAndErasedOnce)
{
    struct Case {
        const char* name;
        bool handleErase; // the dialog procedure answers WM_ERASEBKGND itself with 0
        BOOL fErase;      // what BeginPaint then tells the painter
    };
    const Case cases[] = {
        {"default processing erases", false, FALSE},
        {"procedure declines to erase", true, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log = DialogLog{};
        Log.paintSelf = true;
        Log.handleErase = c.handleErase;
        Page = CreatePage();
        ASSERT_NE(Page, nullptr);
        ShowWindow(Page, SW_SHOW);
        PumpMessages(); // the first paint of what came into view
        Log.messages.clear();
        Log.fErase.clear();

        ASSERT_TRUE(InvalidateRect(Page, nullptr, TRUE));
        EXPECT_TRUE(MessagesOf(Log, {WM_PAINT, WM_ERASEBKGND}).empty()); // nothing until pumped
        EXPECT_EQ(PumpMessages(), 1u);
        EXPECT_EQ(MessagesOf(Log, {WM_PAINT, WM_ERASEBKGND}),
                  (std::vector<UINT>{WM_PAINT, WM_ERASEBKGND}));
        EXPECT_EQ(Log.fErase, std::vector<BOOL>{c.fErase});
        EXPECT_EQ(PumpMessages(), 0u);
        DestroyWindow(Page);
    }
}

TEST_F(WindowTest, HiddenWindowIsNotPaintedUntilShown)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    InvalidateRect(Page, nullptr, TRUE);
    PumpMessages();
    EXPECT_TRUE(MessagesOf(Log, {WM_PAINT, WM_ERASEBKGND}).empty());
    ShowWindow(Page, SW_SHOW);
    PumpMessages();
    EXPECT_EQ(MessagesOf(Log, {WM_ERASEBKGND}).size(), 1u);
    // RDW_UPDATENOW paints at once, without the queue.
    Log.messages.clear();
    RedrawWindow(Page, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    EXPECT_EQ(MessagesOf(Log, {WM_PAINT, WM_ERASEBKGND}),
              (std::vector<UINT>{WM_PAINT, WM_ERASEBKGND}));
}

TEST_F(WindowTest, EveryTruncationOfATemplateFailsCleanly)
{
    const std::vector<uint8_t> full = PageTemplate();
    const size_t windows = OpenWindowCount();
    for (size_t length = 0; length < full.size(); ++length) {
        // Exactly `length` bytes on the heap, so that a read past them is caught.
        std::unique_ptr<uint8_t[]> prefix(new uint8_t[length + 1]);
        std::memcpy(prefix.get(), full.data(), length);
        SetLastError(0);
        HWND dialog =
            CreateDialogFromMemory(nullptr, prefix.get(), length, Frame, RecordingDialogProc, 0);
        ASSERT_EQ(dialog, nullptr) << length;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND)) << length;
        ASSERT_EQ(OpenWindowCount(), windows) << length;
    }
    EXPECT_TRUE(MessagesOf(Log, {WM_INITDIALOG}).empty());
}

TEST_F(WindowTest, MalformedTemplatesAreRefused)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        DWORD error;
    };
    std::vector<Case> cases;
    {
        std::vector<uint8_t> b = PageTemplate();
        b[0] = 2; // an extended template of an unknown version
        cases.push_back({"version 2", b, ERROR_INVALID_PARAMETER});
    }
    {
        TemplateBuilder t;
        t.ExHeader(WS_CHILD | DS_SETFONT, 1, 50, 20);
        t.ExItem(kChild, 1, 1, 10, 10, 5, 0x0099, "", "x"); // no such predefined class
        cases.push_back({"unknown class ordinal", t.Bytes, ERROR_INVALID_PARAMETER});
    }
    {
        TemplateBuilder t;
        t.ExHeader(WS_CHILD | DS_SETFONT, 1, 50, 20);
        t.ExItem(kChild, 1, 1, 10, 10, 5, 0, "NoSuchControl", "x");
        cases.push_back({"unregistered class", t.Bytes, ERROR_CANNOT_FIND_WND_CLASS});
    }
    const size_t windows = OpenWindowCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CreateDialogFromMemory(nullptr, c.bytes.data(), c.bytes.size(), Frame,
                                         RecordingDialogProc, 0),
                  nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(OpenWindowCount(), windows);
    }
    EXPECT_EQ(CreateDialogIndirectParamA(nullptr, nullptr, Frame, nullptr, 0), nullptr);
    // A WS_CHILD dialog needs a parent.
    const std::vector<uint8_t> page = PageTemplate();
    EXPECT_EQ(CreateDialogFromMemory(nullptr, page.data(), page.size(), nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
}

TEST_F(WindowTest, PlainTemplateWithoutProcedureIsAccepted)
{
    // DLGTEMPLATE: WORD ids, a 10-point font without weight and charset.
    TemplateBuilder t;
    t.Dword(WS_CHILD | DS_SETFONT); // style
    t.Dword(0);                     // exStyle
    t.Word(1);                      // one item
    for (uint16_t v : {0, 0, 100, 40}) {
        t.Word(v);
    }
    t.Word(0);
    t.Word(0);
    t.String("Plain");
    t.Word(10);
    t.String("MS Shell Dlg");
    t.Align();
    t.Dword(kChild | BS_PUSHBUTTON); // style
    t.Dword(0);                      // exStyle
    for (uint16_t v : {4, 8, 40, 14}) {
        t.Word(v);
    }
    t.Word(77); // id
    t.Ordinal(kButton);
    t.String("OK");
    t.Word(0);
    // Measured without a dialog procedure.
    HWND dialog = CreateDialogFromMemory(nullptr, t.Bytes.data(), t.Bytes.size(), Frame, nullptr, 0);
    ASSERT_NE(dialog, nullptr);
    const std::vector<ControlInfo> children = DescribeChildren(dialog);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].id, 77);
    EXPECT_EQ(children[0].text, "OK");
    // 10 points: base units 8 (7.5 rounded) x 16 (16.25 rounded).
    EXPECT_EQ(children[0].rect.left, 8);
    EXPECT_EQ(children[0].rect.top, 16);
    EXPECT_EQ(children[0].rect.right, 88);
    EXPECT_EQ(children[0].rect.bottom, 44);
    char title[16];
    EXPECT_EQ(GetWindowTextA(dialog, title, sizeof(title)), 5);
    EXPECT_STREQ(title, "Plain");
}

// A window class whose procedure logs destruction messages.
std::vector<std::pair<HWND, UINT>>* Destructions = nullptr;
LRESULT CALLBACK LoggingWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if ((msg == WM_DESTROY || msg == WM_NCDESTROY) && Destructions != nullptr) {
        Destructions->push_back({hwnd, msg});
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST_F(WindowTest, DestroyWindowTakesTheChildrenAndHandlesAreNeverReused)
{
    WNDCLASSA logging{};
    logging.lpfnWndProc = LoggingWindowProc;
    logging.lpszClassName = "KaldTestLogging";
    ASSERT_NE(RegisterClassA(&logging), 0);
    std::vector<std::pair<HWND, UINT>> log;
    Destructions = &log;
    auto make = [](HWND parent, DWORD style) {
        return CreateWindowExA(0, "KaldTestLogging", "", style, 0, 0, 10, 10, parent,
                               nullptr, nullptr, nullptr);
    };
    HWND top = make(nullptr, WS_POPUP);
    HWND first = make(top, WS_CHILD);
    HWND grandchild = make(first, WS_CHILD);
    HWND second = make(top, WS_CHILD);
    ASSERT_TRUE(top && first && grandchild && second);
    EXPECT_EQ(GetWindow(top, GW_CHILD), first);
    EXPECT_EQ(GetWindow(first, GW_HWNDNEXT), second);
    ASSERT_TRUE(PostMessageA(second, WM_USER, 0, 0));
    const size_t before = OpenWindowCount();

    ASSERT_TRUE(DestroyWindow(top));
    const std::vector<std::pair<HWND, UINT>> expected = {
        {top, WM_DESTROY},          {first, WM_DESTROY},   {grandchild, WM_DESTROY},
        {grandchild, WM_NCDESTROY}, {first, WM_NCDESTROY}, {second, WM_DESTROY},
        {second, WM_NCDESTROY},     {top, WM_NCDESTROY},
    };
    EXPECT_EQ(log, expected);
    Destructions = nullptr;
    EXPECT_EQ(OpenWindowCount(), before - 4);
    for (HWND gone : {top, first, grandchild, second}) {
        EXPECT_FALSE(IsWindow(gone));
        EXPECT_EQ(SendMessageA(gone, WM_GETTEXTLENGTH, 0, 0), 0);
    }
    EXPECT_EQ(PumpMessages(), 0u); // the message posted to a destroyed window is dropped
    EXPECT_FALSE(DestroyWindow(top));

    // New windows, also after a reset, never get an old handle back.
    std::set<HWND> seen{Frame, top, first, grandchild, second};
    for (int i = 0; i < 3; ++i) {
        HWND fresh = make(nullptr, WS_POPUP);
        EXPECT_TRUE(seen.insert(fresh).second);
        DestroyWindow(fresh);
    }
    ResetWin32();
    EXPECT_FALSE(IsWindow(Frame));
    WNDCLASSA again = logging;
    ASSERT_NE(RegisterClassA(&again), 0); // the reset forgot the class too
    EXPECT_TRUE(seen.insert(make(nullptr, WS_POPUP)).second);
}

TEST_F(WindowTest, WindowRecordAndText)
{
    Page = CreatePage();
    ASSERT_NE(Page, nullptr);
    HWND label = Item(kLabel);
    char buffer[8];
    EXPECT_EQ(GetWindowTextA(label, buffer, 4), 3); // truncated, still terminated
    EXPECT_STREQ(buffer, "&La");
    ASSERT_TRUE(SetDlgItemTextA(Page, kLabel, "Gamma:0"));
    EXPECT_EQ(GetWindowTextLengthA(label), 7);
    EXPECT_EQ(GetWindowTextA(label, buffer, sizeof(buffer)), 7);
    EXPECT_STREQ(buffer, "Gamma:0");

    // The pages set their style to exactly WS_CHILD.
    SetWindowLongA(Page, GWL_STYLE, WS_CHILD);
    EXPECT_EQ(GetWindowLongA(Page, GWL_STYLE), static_cast<LONG>(WS_CHILD));
    EXPECT_EQ(SetWindowLongPtrA(Page, DWLP_USER, 0x77), 0);
    EXPECT_EQ(GetWindowLongPtrA(Page, DWLP_USER), 0x77);
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrA(label, 64), 0); // past the extra bytes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));

    struct IntCase {
        const char* text;
        BOOL isSigned;
        UINT value;
        BOOL translated;
    };
    const IntCase ints[] = {
        {"42", FALSE, 42, TRUE},      {" -17 ", TRUE, static_cast<UINT>(-17), TRUE},
        {"-17", FALSE, 0, FALSE},     {"12a", TRUE, 0, FALSE},
        {"", TRUE, 0, FALSE},         {"99999999999", TRUE, 0, FALSE},
    };
    for (const IntCase& c : ints) {
        SetDlgItemTextA(Page, kLabel, c.text);
        BOOL translated = -1;
        EXPECT_EQ(GetDlgItemInt(Page, kLabel, &translated, c.isSigned), c.value) << c.text;
        EXPECT_EQ(translated, c.translated) << c.text;
    }
    EXPECT_EQ(GetDlgItem(Page, 4242), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
}

TEST_F(WindowTest, WinHelpCallsAreRecorded)
{
    EXPECT_TRUE(WinHelpA(Frame, "C:\\Help\\Kld8ENU.hlp", HELP_CONTEXT, 131287));
    EXPECT_TRUE(WinHelpA(nullptr, nullptr, HELP_QUIT, 0));
    const std::vector<WinHelpRecord> calls = WinHelpCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].window, Frame);
    EXPECT_EQ(calls[0].file, "C:\\Help\\Kld8ENU.hlp");
    EXPECT_EQ(calls[0].command, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(calls[0].data, 131287u);
    EXPECT_EQ(calls[1].file, "");
    ClearWinHelpCalls();
    EXPECT_TRUE(WinHelpCalls().empty());
}

TEST_F(WindowTest, QuitEndsTheMessageLoop)
{
    PostMessageA(Frame, WM_USER + 7, 1, 2);
    PostQuitMessage(3);
    MSG m{};
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0)); // posted messages come first
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 7));
    EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);
    // An empty queue ends a loop instead of blocking forever.
    EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
}

} // namespace
