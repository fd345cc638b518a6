// Kaldprop as an in-process COM server: the three page classes, their
// registration and type library, and the language of the pages.
#include "com_module.h"
#include "language.h"
#include "pages.h"
#include "resource.h"

// {895FE2B2-9FD1-48D1-8667-56F4664359E8}
const CLSID CLSID_SourcePage = {
    0x895FE2B2, 0x9FD1, 0x48D1, {0x86, 0x67, 0x56, 0xF4, 0x66, 0x43, 0x59, 0xE8}};
// {ADEA9699-F86F-4D68-A028-A2DD1371B8A9}
const CLSID CLSID_AdvancedPage = {
    0xADEA9699, 0xF86F, 0x4D68, {0xA0, 0x28, 0xA2, 0xDD, 0x13, 0x71, 0xB8, 0xA9}};
// {F5541056-F5DF-45D9-B468-68CEF91688CE}
const CLSID CLSID_TestPage = {
    0xF5541056, 0xF5DF, 0x45D9, {0xB4, 0x68, 0x68, 0xCE, 0xF9, 0x16, 0x88, 0xCE}};

namespace {

// In registration order.
const ObjectEntry ObjectMap[] = {
    {&CLSID_SourcePage, &CreateObject<CSourcePage>, IDR_SOURCEPAGE},
    {&CLSID_AdvancedPage, &CreateObject<CAdvancedPage>, IDR_ADVANCEDPAGE},
    {&CLSID_TestPage, &CreateObject<CTestPage>, IDR_TESTPAGE},
};

// Language libraries are Kld8<language>.LRC, help files Kld8<language>.HLP.
constexpr char LanguageBase[] = "Kld8";
constexpr char HelpBase[] = "Kld8";

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID)
{
    if (Reason == DLL_PROCESS_ATTACH) {
        Module.Init(ObjectMap, sizeof ObjectMap / sizeof ObjectMap[0], Instance);
        SelectLanguageResources(LanguageBase, HelpBase, TRUE);
        DisableThreadLibraryCalls(Instance);
    } else if (Reason == DLL_PROCESS_DETACH) {
        FreeLanguageResources();
        Module.Term();
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return Module.CanUnloadNow();
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID Clsid, REFIID Riid, LPVOID* Object)
{
    return Module.GetClassObject(Clsid, Riid, Object);
}

extern "C" HRESULT WINAPI DllRegisterServer()
{
    return Module.RegisterServer(TRUE);
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    return Module.UnregisterServer();
}
