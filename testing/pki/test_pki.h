// The test PKI from the test side: trusting its root inside the Wine prefix.
#pragma once

#include <windows.h>

#include <string>

namespace qartest {

// Adds the test root CA to the machine's "Root" store, so that signatures
// under it verify as trusted. Idempotent. Wine reads the Root store once per
// process, at the first chain check: call this before the first
// WinVerifyTrust of the process, and before starting a program that checks
// signatures. Returns ERROR_SUCCESS or the failing call's error code.
DWORD trustTestRoot();

// What WinVerifyTrust (generic verify, no UI, no revocation check) says of
// the file: 0 for a trusted signature, else the HRESULT.
LONG verifyTrustStatus(const std::wstring& path);

// Path of a file of the test PKI (for example L"norvale.crt"), as a Windows path.
std::wstring testPkiFile(const std::wstring& name);

}  // namespace qartest
