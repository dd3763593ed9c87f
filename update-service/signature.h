// Authenticode validation of the installer copy before it is run.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// The publisher whose certificate must have signed the installer.
#define EXPECTED_PUBLISHER L"Norvale Data AG"

// readCertificateName's results: 0, or the step that failed.
enum class NameCheck : int {
    Matches = 0,  // read, and equal to the expected name when one was given
    NoLength = 1,
    NoMemory = 2,
    Unreadable = 3,
    Mismatch = 4,
};

// checkSigner's results: one of its own steps (1 to 5) or, once the signer's
// certificate was found, a step of reading its issuer's or subject's name,
// whose numbers are readCertificateName's and so overlap the first four.
enum class SignerCheck : int {
    Matches = 0,             // the subject is EXPECTED_PUBLISHER
    NoSignature = 1,         // no embedded signature could be opened
    NoSignerInfoSize = 2,
    NoSignerInfoMemory = 3,
    NoSignerInfo = 4,
    NoCertificate = 5,       // the signer's certificate is not in the signature
    NameNoLength = 1,
    NameNoMemory = 2,
    NameUnreadable = 3,
    PublisherMismatch = 4,
};

// What validateInstaller found. The signer is examined only when the
// signature is trusted.
struct InstallerValidation {
    LONG trustStatus = 0;                      // verifyTrust's: 0 or an HRESULT
    SignerCheck signer = SignerCheck::Matches;  // when trustStatus is 0
    bool passed() const { return trustStatus == 0 && signer == SignerCheck::Matches; }
};

// Whether the file carries a trusted signature by the expected publisher;
// only then may it run.
InstallerValidation validateInstaller(const wchar_t* path);

// The status WinVerifyTrust gives for the file (0 or an HRESULT), logged.
LONG verifyTrust(const wchar_t* path);

// Whether the signer's subject is the expected publisher.
SignerCheck checkSigner(const wchar_t* path);

// Logs the certificate's subject (flags 0) or issuer (CERT_NAME_ISSUER_FLAG)
// name and compares it with expected when given.
NameCheck readCertificateName(PCCERT_CONTEXT certificate, DWORD flags, const wchar_t* expected);
