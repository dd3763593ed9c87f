// Authenticode validation of the installer copy before it is run.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// The publisher whose certificate must have signed the installer.
#define EXPECTED_PUBLISHER L"Norvale Data AG"

// 0 when the file carries a trusted signature by the expected publisher;
// any other value forbids running it.
LONG validateInstaller(const wchar_t* path);

// The status WinVerifyTrust gives for the file (0 or an HRESULT), logged.
LONG verifyTrust(const wchar_t* path);

// 0 when the signer's subject is the expected publisher, or 1 to 5 for a failed step.
int checkSigner(const wchar_t* path);

// Logs the certificate's subject (flags 0) or issuer (CERT_NAME_ISSUER_FLAG)
// name and compares it with expected when given. 0, or 1 to 4.
int readCertificateName(PCCERT_CONTEXT certificate, DWORD flags, const wchar_t* expected);
