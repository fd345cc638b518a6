// The three property pages Kaldprop offers: the picture controls
// ("Settings"), the flicker questions ("Advanced Settings") and the
// engineering controls ("Test Settings"). Every change goes to the driver at
// once through the shared Device; Apply makes the changes permanent.
#pragma once

#include "device.h"
#include "property_page.h"
#include "propui_platform.h"

// The help contexts the pages' Help buttons open.
inline constexpr ULONG_PTR PictureHelpContext = 131287;
inline constexpr ULONG_PTR FlickerHelpContext = 131288;
inline constexpr ULONG_PTR TestHelpContext = 131287;

// The text the picture page puts into its camera-name label.
inline constexpr char CameraDisplayName[] = "Vexal(r) PC Camera RV310";

// What the three pages share: the shared Device held for the page's
// lifetime, Apply saving the changes, and small helpers over the page's
// dialog items.
class CameraPage : public PropertyPage {
  public:
    CameraPage(UINT Title, UINT Dialog);
    ~CameraPage() override;

    // Saves the changes of every page in the driver's store and clears this
    // page's dirty state.
    STDMETHOD(Apply)() override;

  protected:
    // The messages every page handles: WM_INITDIALOG (the page window's
    // style becomes exactly WS_CHILD, then OnInitDialog) and WM_ERASEBKGND (a
    // refresh: every repaint of the background shows the driver's values
    // again), both then left to the default processing; WM_HSCROLL; and
    // WM_COMMAND with BN_CLICKED only. The rest goes to the default
    // processing.
    INT_PTR OnMessage(UINT Message, WPARAM WParam, LPARAM LParam) override;
    virtual void OnInitDialog() = 0;
    virtual void RefreshControls() = 0;
    // A slider scrolled: TRUE when the page handles scrolling (the flicker
    // page has no sliders and leaves it to the default processing).
    virtual BOOL OnSliderScrolled(HWND) { return FALSE; }
    // A control was clicked: TRUE when the page handles that control.
    virtual BOOL OnClicked(int Id) = 0;

    // The shared Device's requests; without a Device (it could not be made)
    // they fail like requests to a missing camera.
    static void RefreshDevice();
    static BOOL SetValue(ULONG Id, LONG Value);
    static LONG GetValue(ULONG Id);
    static LONG Cached(ULONG Id);
    static void SetCached(ULONG Id, LONG Value);

    HWND Item(int Id) const;
    // Sets a slider's tick frequency (a fifteenth of the range, at least 1)
    // and its range.
    void SetSliderRange(int Id, LONG Min, LONG Max) const;
    // Queues a slider's new position: it takes effect after the current
    // message.
    void PostSliderPosition(int Id, LONG Position) const;
    // Sets a slider's position at once.
    void SendSliderPosition(int Id, LONG Position) const;
    LONG SliderPosition(int Id) const;
    void SetCheck(int Id, bool Checked) const;
    bool IsChecked(int Id) const;
    void Enable(int Id, bool Enabled) const;
    void FocusItem(int Id) const;
    // A slider was moved: sets `Property` to its position. TRUE when the
    // driver took it (the cache then holds it); otherwise the slider shows
    // the driver's value again.
    BOOL SendSliderValue(int Id, ULONG Property) const;
    // A check box was clicked and its state means `State` for `Property`:
    // caches and sends it; when the driver refuses, caches the driver's value
    // and shows it, checked when it equals `CheckedValue`.
    void SendCheckState(int Id, ULONG Property, LONG State, LONG CheckedValue) const;
    // Opens the help file at `Context` and gives the focus back to `Button`.
    void ShowHelp(ULONG_PTR Context, int Button) const;

  private:
    // The page counts as a user of the shared Device (AcquireDevice
    // succeeded), so its end releases one use.
    BOOL HoldsDevice = FALSE;
};

class CSourcePage : public CameraPage {
  public:
    CSourcePage();

  private:
    void OnInitDialog() override;
    void RefreshControls() override;
    BOOL OnSliderScrolled(HWND Slider) override;
    BOOL OnClicked(int Id) override;
    void OnAutoColorClicked();
    void OnExposureLockClicked();
    void OnRestoreDefaultsClicked();
};

class CAdvancedPage : public CameraPage {
  public:
    CAdvancedPage();

  private:
    void OnInitDialog() override;
    void RefreshControls() override;
    BOOL OnClicked(int Id) override;
    void OnAnswerClicked(int Id);
    void OnRestoreDefaultsClicked();
};

class CTestPage : public CameraPage {
  public:
    CTestPage();

  private:
    void OnInitDialog() override;
    void RefreshControls() override;
    BOOL OnSliderScrolled(HWND Slider) override;
    BOOL OnClicked(int Id) override;
    void SetLabel(int SliderId, LONG Value) const;
    void OnSwitchClicked(int Id);
    void OnRestoreDefaultsClicked();
};
