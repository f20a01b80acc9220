// The fake pad SDK as an in-process COM server, registered by the tests that drive the host through
// Wine; it reads its configuration from VELDRA_FAKE_PAD when loaded.
#include <windows.h>

#include "fake_com_pad.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) fakepad::configure_from_environment();
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return fakepad::get_class_object(clsid, iid, object);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
