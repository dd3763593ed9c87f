// Test support for test-only in-process COM servers: the reference counting
// of their objects, the class factory of one class, whose objects start with
// one reference, and the DLL's DllGetClassObject answer for it.
#pragma once

#include <objbase.h>

#include <new>

namespace wbtest {

// IUnknown for a test-only object of class Self implementing Interface:
// QueryInterface answers IUnknown and whatever Self::implements(iid) accepts;
// the last Release calls Self::onLastRelease() and deletes the object. The
// object starts with one reference; live, when given, counts living objects.
template <typename Self, typename Interface>
class FakeComObject : public Interface {
public:
    explicit FakeComObject(LONG* live = nullptr) : live_(live) {
        if (live_) InterlockedIncrement(live_);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && !Self::implements(iid)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Self* self = static_cast<Self*>(this);
            self->onLastRelease();
            if (live_) InterlockedDecrement(live_);
            delete self;
        }
        return left;
    }

protected:
    static bool implements(REFIID) { return false; }
    void onLastRelease() {}

private:
    LONG refs_ = 1;
    LONG* live_;
};

template <typename Object>
class FakeClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // A static object: references are not counted.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Object* object = new (std::nothrow) Object;
        if (!object) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    // DllGetClassObject for the one class this factory serves.
    HRESULT classObject(REFCLSID served, REFCLSID asked, REFIID iid, void** out) {
        if (asked != served) {
            *out = nullptr;
            return CLASS_E_CLASSNOTAVAILABLE;
        }
        return QueryInterface(iid, out);
    }
};

}  // namespace wbtest
