// Test support: a test-only in-process COM server standing in for a system
// class while a test runs. Wine's COM reads class registrations from
// HKLM\Software\Classes only (an HKCU\Software\Classes entry is not seen), so
// the class's own entry there is replaced and put back afterwards; tests that
// override the same class hold a CTest lock.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace wbtest {

class ComServerOverride {
public:
    // clsid in registry form ("{...}"); dll the server's Windows path.
    ComServerOverride(const wchar_t* clsid, const std::wstring& dll, const wchar_t* threadingModel)
        : key_(std::wstring(L"Software\\Classes\\CLSID\\") + clsid + L"\\InprocServer32") {
        hadServer_ = read(nullptr, server_);
        hadModel_ = read(L"ThreadingModel", model_);
        write(nullptr, dll);
        write(L"ThreadingModel", threadingModel);
    }
    ~ComServerOverride() {
        restore(nullptr, hadServer_, server_);
        restore(L"ThreadingModel", hadModel_, model_);
    }
    ComServerOverride(const ComServerOverride&) = delete;
    ComServerOverride& operator=(const ComServerOverride&) = delete;

private:
    bool read(const wchar_t* name, std::wstring& out) const {
        wchar_t buffer[MAX_PATH * 2] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
            ERROR_SUCCESS)
            return false;
        out = buffer;
        return true;
    }
    void write(const wchar_t* name, const std::wstring& value) const {
        EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name, REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void restore(const wchar_t* name, bool had, const std::wstring& value) const {
        if (had)
            write(name, value);
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name);
    }

    std::wstring key_;
    bool hadServer_, hadModel_;
    std::wstring server_, model_;
};

}  // namespace wbtest
