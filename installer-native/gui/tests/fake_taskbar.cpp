// A test-only in-process server for CLSID_TaskbarList (Wine's own accepts
// progress and overlays and shows nothing): it records the calls it gets.
#include "fake_taskbar.h"
#include "fake_com_server.h"

#include <objbase.h>
#include <shobjidl.h>


namespace {

FakeTaskbarState gState = {};

class Taskbar final : public wbtest::FakeComObject<Taskbar, ITaskbarList3> {
public:
    Taskbar() { InterlockedIncrement(&gState.created); }
    static bool implements(REFIID iid) {
        return iid == IID_ITaskbarList || iid == IID_ITaskbarList2 || iid == IID_ITaskbarList3;
    }
    HRESULT STDMETHODCALLTYPE HrInit() override {
        ++gState.hrInitCalls;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG completed, ULONGLONG total) override {
        ++gState.progressCalls;
        gState.progressWindow = window;
        gState.completed = completed;
        gState.total = total;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
        ++gState.stateCalls;
        gState.stateWindow = window;
        gState.state = state;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND window, HICON icon, LPCWSTR description) override {
        ++gState.overlayCalls;
        gState.overlayWindow = window;
        gState.overlayIcon = icon;
        gState.overlayDescriptionNull = description == nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return E_NOTIMPL; }
};

wbtest::FakeClassFactory<Taskbar> gFactory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return gFactory.classObject(CLSID_TaskbarList, clsid, iid, out);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

extern "C" __declspec(dllexport) FakeTaskbarState* __cdecl fakeTaskbarState() { return &gState; }
