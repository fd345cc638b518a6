#include "pages.h"

#include "language.h"

CameraPage::CameraPage(UINT Title, UINT Dialog) : PropertyPage(Title, Dialog)
{
    // The sliders are the common controls' trackbars: make sure their class
    // is registered whatever the frame that shows the page has loaded.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);
    HoldsDevice = AcquireDevice();
}

CameraPage::~CameraPage()
{
    // A page that could not be counted must not end another page's use.
    if (HoldsDevice) {
        ReleaseDevice();
    }
}

STDMETHODIMP CameraPage::Apply()
{
    CommitChanges();
    SetDirty(FALSE);
    return S_OK;
}

INT_PTR CameraPage::OnMessage(UINT Message, WPARAM WParam, LPARAM LParam)
{
    switch (Message) {
    case WM_INITDIALOG:
        SetWindowLongA(PageWindow, GWL_STYLE, WS_CHILD);
        OnInitDialog();
        return FALSE;
    case WM_ERASEBKGND:
        RefreshControls();
        return FALSE;
    case WM_HSCROLL:
        return OnSliderScrolled(reinterpret_cast<HWND>(LParam));
    case WM_COMMAND:
        return HIWORD(WParam) == BN_CLICKED && OnClicked(LOWORD(WParam));
    default:
        return FALSE;
    }
}

void CameraPage::RefreshDevice()
{
    if (SharedDevice != nullptr) {
        SharedDevice->Refresh();
    }
}

BOOL CameraPage::SetValue(ULONG Id, LONG Value)
{
    return SharedDevice != nullptr && SharedDevice->SetValue(Id, Value);
}

LONG CameraPage::GetValue(ULONG Id)
{
    return SharedDevice != nullptr ? SharedDevice->GetValue(Id) : -1;
}

LONG CameraPage::Cached(ULONG Id)
{
    return SharedDevice != nullptr ? SharedDevice->CachedValue(Id) : -1;
}

void CameraPage::SetCached(ULONG Id, LONG Value)
{
    if (SharedDevice != nullptr) {
        SharedDevice->SetCachedValue(Id, Value);
    }
}

HWND CameraPage::Item(int Id) const
{
    return GetDlgItem(PageWindow, Id);
}

void CameraPage::SetSliderRange(int Id, LONG Min, LONG Max) const
{
    LONG frequency = (Max - Min) / 15;
    if (frequency == 0) {
        frequency = 1;
    }
    SendDlgItemMessageA(PageWindow, Id, TBM_SETTICFREQ, static_cast<WPARAM>(frequency), 0);
    SendDlgItemMessageA(PageWindow, Id, TBM_SETRANGEMIN, TRUE, Min);
    SendDlgItemMessageA(PageWindow, Id, TBM_SETRANGEMAX, TRUE, Max);
}

void CameraPage::PostSliderPosition(int Id, LONG Position) const
{
    PostMessageA(Item(Id), TBM_SETPOS, TRUE, Position);
}

void CameraPage::SendSliderPosition(int Id, LONG Position) const
{
    SendDlgItemMessageA(PageWindow, Id, TBM_SETPOS, TRUE, Position);
}

LONG CameraPage::SliderPosition(int Id) const
{
    return static_cast<LONG>(SendDlgItemMessageA(PageWindow, Id, TBM_GETPOS, 0, 0));
}

void CameraPage::SetCheck(int Id, bool Checked) const
{
    CheckDlgButton(PageWindow, Id, Checked ? BST_CHECKED : BST_UNCHECKED);
}

bool CameraPage::IsChecked(int Id) const
{
    return IsDlgButtonChecked(PageWindow, Id) == BST_CHECKED;
}

void CameraPage::Enable(int Id, bool Enabled) const
{
    EnableWindow(Item(Id), Enabled ? TRUE : FALSE);
}

void CameraPage::FocusItem(int Id) const
{
    SetFocus(Item(Id));
}

BOOL CameraPage::SendSliderValue(int Id, ULONG Property) const
{
    const LONG position = SliderPosition(Id);
    if (SetValue(Property, position)) {
        SetCached(Property, position);
        return TRUE;
    }
    SendSliderPosition(Id, GetValue(Property));
    return FALSE;
}

void CameraPage::SendCheckState(int Id, ULONG Property, LONG State, LONG CheckedValue) const
{
    SetCached(Property, State);
    if (!SetValue(Property, State)) {
        const LONG actual = GetValue(Property);
        SetCached(Property, actual);
        SetCheck(Id, actual == CheckedValue);
    }
}

void CameraPage::ShowHelp(ULONG_PTR Context, int Button) const
{
    WinHelpA(PageWindow, HelpFilePath, HELP_CONTEXT, Context);
    FocusItem(Button);
}
