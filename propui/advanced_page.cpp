// The flicker page: two questions that set the driver's fluorescent-flicker
// compensation (on or off) and the mains frequency it compensates (60 Hz in
// North America, 50 Hz elsewhere).
#include "pages.h"

#include "resource.h"

namespace {

struct FlickerAnswer {
    int Id;
    ULONG Property;
    LONG Value;
    // The page reads the driver back after the answer; the frequency answers
    // show as the radio buttons' own state instead.
    bool Refresh;
};

constexpr FlickerAnswer FlickerAnswers[] = {
    {IDC_FLUORESCENT_YES, EXT_FLICKER_COMP_STATE, 1, true},
    {IDC_FLUORESCENT_NO, EXT_FLICKER_COMP_STATE, 0, true},
    {IDC_FREQ_60HZ, EXT_FLICKER_COMP_FREQ, 0, false},
    {IDC_FREQ_50HZ, EXT_FLICKER_COMP_FREQ, 1, false},
};

} // namespace

CAdvancedPage::CAdvancedPage() : CameraPage(IDS_TITLEAdvancedPage, IDD_ADVANCEDPAGE) {}

void CAdvancedPage::RefreshControls()
{
    RefreshDevice();
    const LONG compensation = Cached(EXT_FLICKER_COMP_STATE);
    const LONG frequency = Cached(EXT_FLICKER_COMP_FREQ);
    SetCheck(IDC_FLUORESCENT_YES, compensation == 1);
    SetCheck(IDC_FLUORESCENT_NO, compensation == 0);
    SetCheck(IDC_FREQ_60HZ, frequency == 0);
    SetCheck(IDC_FREQ_50HZ, frequency == 1);
    // The mains frequency only matters while compensation is on.
    Enable(IDC_FREQ_60HZ, compensation == 1);
    Enable(IDC_FREQ_50HZ, compensation == 1);
}

void CAdvancedPage::OnAnswerClicked(int Id)
{
    for (const FlickerAnswer& answer : FlickerAnswers) {
        if (answer.Id != Id) {
            continue;
        }
        // A refused answer is not undone here: the next refresh shows the
        // driver's values.
        SetValue(answer.Property, answer.Value);
        if (answer.Refresh) {
            RefreshControls();
        }
        MarkChanged(TRUE, *this);
        return;
    }
}

void CAdvancedPage::OnRestoreDefaultsClicked()
{
    SetValue(EXT_RESTORE_FLICKER_DEFAULTS, 1);
    Sleep(10);
    RefreshControls();
    FocusItem(IDC_RESTORE_FLICKER);
    MarkChanged(TRUE, *this);
}

void CAdvancedPage::OnInitDialog()
{
    RefreshControls();
}

BOOL CAdvancedPage::OnClicked(int Id)
{
    switch (Id) {
    case IDC_FLUORESCENT_YES:
    case IDC_FLUORESCENT_NO:
    case IDC_FREQ_60HZ:
    case IDC_FREQ_50HZ: OnAnswerClicked(Id); return TRUE;
    case IDC_RESTORE_FLICKER: OnRestoreDefaultsClicked(); return TRUE;
    case IDC_FLICKER_HELP: ShowHelp(FlickerHelpContext, IDC_FLICKER_HELP); return TRUE;
    default: return FALSE;
    }
}
