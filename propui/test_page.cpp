// The engineering page: contrast, gamma, manual exposure time and gain,
// warm-up period, USB packet-size limit, AE/AWB interval and periods with
// their values in the labels, and switches for defective-pixel correction,
// compression, the fixed AE/AWB periods and the two error-injection
// controls.
#include "pages.h"

#include "resource.h"

namespace {

struct TestSlider {
    int Id;
    ULONG Property;
    LONG Min;
    LONG Max;
    int Label;
    const char* Format;
};

constexpr TestSlider TestSliders[] = {
    {IDC_CONTRAST, EXT_CONTRAST, 0, 3000, IDC_CONTRAST_LABEL, "C&ontrast:%d"},
    {IDC_GAMMA, EXT_GAMMA, 0, 9, IDC_GAMMA_LABEL, "&Gamma:%d"},
    {IDC_WARMUP, EXT_MS_TO_SKIP_PACKETS, 33, 500, IDC_WARMUP_LABEL,
     "HW Warmup &Period (Next Video Session):%d ms"},
    {IDC_USB_LIMIT, EXT_MAX_PACKET_SIZE_ALLOWED, 128, 1024, IDC_USB_LIMIT_LABEL,
     "&USB BW Limit (Next Video Session):%d bytes/pkt (%d%%)"},
    {IDC_AEAWB_INTERVAL, EXT_AEAWB_INTERVAL, 32, 512, IDC_AEAWB_INTERVAL_LABEL,
     "&AEAWB Interval:%d ms"},
    {IDC_AE_PERIOD, EXT_AE_PERIOD, 2, 16, IDC_AE_PERIOD_LABEL, "A&E Period:%d"},
    {IDC_AWB_PERIOD, EXT_AWB_PERIOD, 1, 4, IDC_AWB_PERIOD_LABEL, "A&WB Period:%d"},
    {IDC_EXPOSURE_TIME, EXT_EXPOSURE_TIME, 1, 27, IDC_EXPOSURE_TIME_LABEL,
     "&Exposure Time:%d (1/120s)"},
    {IDC_GAIN, EXT_GAIN, 1, 32, IDC_GAIN_LABEL, "Ga&in:%d"},
};

// The order in which a refresh rewrites the labels.
constexpr int LabelRefreshOrder[] = {
    IDC_WARMUP,  IDC_USB_LIMIT,     IDC_AEAWB_INTERVAL, IDC_AE_PERIOD, IDC_AWB_PERIOD,
    IDC_EXPOSURE_TIME, IDC_GAIN, IDC_CONTRAST, IDC_GAMMA,
};

struct TestSwitch {
    int Id;
    ULONG Property;
};

// The check boxes; the frame-error box is never set by a refresh.
constexpr TestSwitch TestSwitches[] = {
    {IDC_DPC, EXT_DPC_STATE},
    {IDC_FIXED_AE_PERIOD, EXT_FIXED_AE_PERIOD_STATE},
    {IDC_FIXED_AWB_PERIOD, EXT_FIXED_AWB_PERIOD_STATE},
    {IDC_COMPRESSION, EXT_COMPRESSION_STATE},
    {IDC_FRAME_ERROR, EXT_FRAME_ERROR_TEST},
};

constexpr int RefreshedSwitches[] = {
    IDC_FIXED_AE_PERIOD,
    IDC_FIXED_AWB_PERIOD,
    IDC_COMPRESSION,
    IDC_DPC,
};

// Bytes of a packet the USB limit's percentage is taken of, times 100/40.
constexpr LONG UsbPercentNumerator = 40;
constexpr LONG UsbPercentDenominator = 512;

constexpr size_t LabelBufferSize = 256;

const TestSlider* FindSlider(int Id)
{
    for (const TestSlider& slider : TestSliders) {
        if (slider.Id == Id) {
            return &slider;
        }
    }
    return nullptr;
}

const TestSwitch* FindSwitch(int Id)
{
    for (const TestSwitch& item : TestSwitches) {
        if (item.Id == Id) {
            return &item;
        }
    }
    return nullptr;
}

} // namespace

CTestPage::CTestPage() : CameraPage(IDS_TITLETestPage, IDD_TESTPAGE) {}

void CTestPage::SetLabel(int SliderId, LONG Value) const
{
    const TestSlider* slider = FindSlider(SliderId);
    if (slider == nullptr) {
        return;
    }
    char text[LabelBufferSize];
    // Every format takes the value; the USB limit's also its share of the
    // largest packet in percent.
    wsprintfA(text, slider->Format, Value, Value * UsbPercentNumerator / UsbPercentDenominator);
    SetWindowTextA(Item(slider->Label), text);
}

void CTestPage::RefreshControls()
{
    RefreshDevice();
    for (const TestSlider& slider : TestSliders) {
        PostSliderPosition(slider.Id, Cached(slider.Property));
    }
    for (int id : LabelRefreshOrder) {
        SetLabel(id, Cached(FindSlider(id)->Property));
    }
    for (int id : RefreshedSwitches) {
        SetCheck(id, Cached(FindSwitch(id)->Property) == 1);
    }
    // Exposure time and gain are the user's only while automatic exposure
    // is off.
    const bool manualExposure = Cached(EXT_AUTO_EXPOSURE_STATE) == 0;
    Enable(IDC_EXPOSURE_TIME_LABEL, manualExposure);
    Enable(IDC_EXPOSURE_TIME, manualExposure);
    Enable(IDC_GAIN_LABEL, manualExposure);
    Enable(IDC_GAIN, manualExposure);
}

BOOL CTestPage::OnSliderScrolled(HWND Slider)
{
    if (const TestSlider* slider = FindSlider(GetDlgCtrlID(Slider))) {
        if (SendSliderValue(slider->Id, slider->Property)) {
            SetLabel(slider->Id, Cached(slider->Property));
        }
    }
    MarkChanged(TRUE, *this);
    return TRUE;
}

void CTestPage::OnSwitchClicked(int Id)
{
    const TestSwitch* item = FindSwitch(Id);
    SendCheckState(Id, item->Property, IsChecked(Id) ? 1 : 0, 1);
    RefreshControls();
    MarkChanged(TRUE, *this);
}

void CTestPage::OnRestoreDefaultsClicked()
{
    SetValue(EXT_RESTORE_TEST_DEFAULTS, 1);
    Sleep(10);
    RefreshControls();
    FocusItem(IDC_RESTORE_TEST);
    MarkChanged(TRUE, *this);
}

void CTestPage::OnInitDialog()
{
    for (const TestSlider& slider : TestSliders) {
        SetSliderRange(slider.Id, slider.Min, slider.Max);
    }
    RefreshControls();
    // The error-injection controls stay usable only when the driver answers
    // their property.
    SetLastError(0);
    GetValue(EXT_FRAME_ERROR_TEST);
    if (GetLastError() != 0) {
        Enable(IDC_FRAME_ERROR, false);
        Enable(IDC_PACKET_ERROR, false);
    }
}

BOOL CTestPage::OnClicked(int Id)
{
    switch (Id) {
    case IDC_DPC:
    case IDC_FIXED_AE_PERIOD:
    case IDC_FIXED_AWB_PERIOD:
    case IDC_COMPRESSION:
    case IDC_FRAME_ERROR: OnSwitchClicked(Id); return TRUE;
    case IDC_PACKET_ERROR:
        SetValue(EXT_PACKET_ERROR_TEST, 1);
        FocusItem(IDC_PACKET_ERROR);
        return TRUE;
    case IDC_RESTORE_TEST: OnRestoreDefaultsClicked(); return TRUE;
    case IDC_TEST_HELP: ShowHelp(TestHelpContext, IDC_TEST_HELP); return TRUE;
    default: return FALSE;
    }
}
