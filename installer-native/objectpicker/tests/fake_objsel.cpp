// A test-only in-process server for CLSID_DsObjectPicker (Wine's own answers
// S_FALSE at once): it records what Initialize and InvokeDialog receive and
// answers with the selection list the test put into its state.
#include "fake_objsel.h"
#include "fake_com_server.h"

#include <objbase.h>
#include <objsel.h>

#include <cwchar>

namespace {

FakePickerState gState = {};

// The storage medium's owner: ReleaseStgMedium releases it instead of
// freeing the test's block.
class MediumOwner final : public wbtest::FakeComObject<MediumOwner, IUnknown> {
public:
    MediumOwner() : FakeComObject(&gState.liveObjects) {}
    void onLastRelease() { InterlockedIncrement(&gState.mediumReleases); }
};

class Selection final : public wbtest::FakeComObject<Selection, IDataObject> {
public:
    Selection() : FakeComObject(&gState.liveObjects) {}
    static bool implements(REFIID iid) { return iid == IID_IDataObject; }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (format->cfFormat != RegisterClipboardFormatW(L"CFSTR_DSOP_DS_SELECTION_LIST") ||
            format->dwAspect != DVASPECT_CONTENT || format->lindex != -1 || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        if (!gState.selections) return E_FAIL;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = gState.selections;
        medium->pUnkForRelease = new MediumOwner;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
};

class Picker final : public wbtest::FakeComObject<Picker, IDsObjectPicker> {
public:
    Picker() : FakeComObject(&gState.liveObjects) { InterlockedIncrement(&gState.created); }
    static bool implements(REFIID iid) { return iid == IID_IDsObjectPicker; }
    HRESULT STDMETHODCALLTYPE Initialize(PDSOP_INIT_INFO init) override {
        ++gState.initializeCalls;
        gState.initSize = init->cbSize;
        gState.targetComputerNull = init->pwzTargetComputer == nullptr;
        gState.scopeCount = init->cDsScopeInfos;
        gState.options = init->flOptions;
        gState.attributeCount = init->cAttributesToFetch;
        gState.attribute[0] = L'\0';
        if (init->cAttributesToFetch > 0 && init->apwzAttributeNames && init->apwzAttributeNames[0])
            wcsncpy(gState.attribute, init->apwzAttributeNames[0], 63);
        if (init->cDsScopeInfos > 0 && init->aDsScopeInfos) {
            const DSOP_SCOPE_INIT_INFO& scope = init->aDsScopeInfos[0];
            gState.scopeSize = scope.cbSize;
            gState.scopeType = scope.flType;
            gState.scopeFlags = scope.flScope;
            gState.uplevelBoth = scope.FilterFlags.Uplevel.flBothModes;
            gState.uplevelMixed = scope.FilterFlags.Uplevel.flMixedModeOnly;
            gState.uplevelNative = scope.FilterFlags.Uplevel.flNativeModeOnly;
            gState.downlevel = scope.FilterFlags.flDownlevel;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InvokeDialog(HWND owner, IDataObject** selections) override {
        ++gState.invokeCalls;
        gState.owner = owner;
        *selections = nullptr;
        if (gState.invokeResult != S_OK) return gState.invokeResult;
        *selections = new Selection;
        return S_OK;
    }
};

wbtest::FakeClassFactory<Picker> gFactory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return gFactory.classObject(CLSID_DsObjectPicker, clsid, iid, out);
}

// Stays loaded: the test reads its state after the picker is gone.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

extern "C" __declspec(dllexport) FakePickerState* __cdecl fakePickerState() { return &gState; }
