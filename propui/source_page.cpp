// The picture page: saturation, sharpness, brightness (the exposure
// target), white balance and hue sliders, automatic colour and exposure
// lock, Restore Defaults and Help.
#include "pages.h"

#include "resource.h"

namespace {

struct PictureSlider {
    int Id;
    ULONG Property;
    LONG Min;
    LONG Max;
};

// In the order the page sets them up and refreshes them.
constexpr PictureSlider PictureSliders[] = {
    {IDC_SATURATION, EXT_SATURATION, 0, 63},
    {IDC_SHARPNESS, EXT_SHARPNESS, 1, 8},
    {IDC_BRIGHTNESS, EXT_EXPOSURE_TARGET, 0, 255},
    {IDC_WHITE_BALANCE, EXT_WHITE_BALANCE_TARGET, 0, 20},
    {IDC_HUE, EXT_HUE, 0, 358},
};

const PictureSlider* FindSlider(int Id)
{
    for (const PictureSlider& slider : PictureSliders) {
        if (slider.Id == Id) {
            return &slider;
        }
    }
    return nullptr;
}

} // namespace

CSourcePage::CSourcePage() : CameraPage(IDS_TITLESourcePage, IDD_SOURCEPAGE) {}

void CSourcePage::RefreshControls()
{
    RefreshDevice();
    for (const PictureSlider& slider : PictureSliders) {
        PostSliderPosition(slider.Id, Cached(slider.Property));
    }
    const LONG autoWhiteBalance = Cached(EXT_AUTO_WHITE_BALANCE_STATE);
    const LONG autoExposure = Cached(EXT_AUTO_EXPOSURE_STATE);
    SetCheck(IDC_AUTO_COLOR, autoWhiteBalance == 1);
    SetCheck(IDC_EXPOSURE_LOCK, autoExposure == 0);

    // Under automatic white balance the colour controls are the
    // controller's; under automatic exposure the brightness target is the
    // user's.
    const bool manualColour = autoWhiteBalance != 1;
    Enable(IDC_WHITE_BALANCE_LABEL, manualColour);
    Enable(IDC_WHITE_BALANCE, manualColour);
    Enable(IDC_HUE_LABEL, manualColour);
    Enable(IDC_HUE, manualColour);
    const bool brightness = autoExposure == 1;
    Enable(IDC_BRIGHTNESS_LABEL, brightness);
    Enable(IDC_BRIGHTNESS, brightness);
}

BOOL CSourcePage::OnSliderScrolled(HWND Slider)
{
    if (const PictureSlider* slider = FindSlider(GetDlgCtrlID(Slider))) {
        SendSliderValue(slider->Id, slider->Property);
    }
    MarkChanged(TRUE, *this);
    return TRUE;
}

void CSourcePage::OnAutoColorClicked()
{
    SendCheckState(IDC_AUTO_COLOR, EXT_AUTO_WHITE_BALANCE_STATE, IsChecked(IDC_AUTO_COLOR) ? 1 : 0,
                   1);
    RefreshControls();
    MarkChanged(TRUE, *this);
}

void CSourcePage::OnExposureLockClicked()
{
    // A locked exposure is automatic exposure off.
    SendCheckState(IDC_EXPOSURE_LOCK, EXT_AUTO_EXPOSURE_STATE, IsChecked(IDC_EXPOSURE_LOCK) ? 0 : 1,
                   0);
    RefreshControls();
    MarkChanged(TRUE, *this);
}

void CSourcePage::OnRestoreDefaultsClicked()
{
    SetValue(EXT_RESTORE_PICTURE_DEFAULTS, 1);
    // Give the driver time to apply the defaults before reading them back.
    Sleep(10);
    RefreshControls();
    FocusItem(IDC_RESTORE_PICTURE);
    MarkChanged(TRUE, *this);
}

void CSourcePage::OnInitDialog()
{
    SetDlgItemTextA(PageWindow, IDC_CAMERA_NAME, CameraDisplayName);
    for (const PictureSlider& slider : PictureSliders) {
        SetSliderRange(slider.Id, slider.Min, slider.Max);
    }
    RefreshControls();
}

BOOL CSourcePage::OnClicked(int Id)
{
    switch (Id) {
    case IDC_AUTO_COLOR: OnAutoColorClicked(); return TRUE;
    case IDC_EXPOSURE_LOCK: OnExposureLockClicked(); return TRUE;
    case IDC_RESTORE_PICTURE: OnRestoreDefaultsClicked(); return TRUE;
    case IDC_PICTURE_HELP: ShowHelp(PictureHelpContext, IDC_PICTURE_HELP); return TRUE;
    default: return FALSE;
    }
}
