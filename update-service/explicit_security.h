// Security descriptors that the program builds for what it creates: a
// protected DACL of explicit entries, so that nothing is inherited from the
// folder an object lands in.
#pragma once

#include <windows.h>

// ExplicitSecurity::build's results: 0, or the step that failed.
enum class SecurityStep : int {
    Built = 0,
    NoSid = 1,         // an entry's SID
    NoAcl = 2,
    NoDescriptor = 3,  // the owner or the descriptor
};

struct AccessEntry {
    WELL_KNOWN_SID_TYPE who;
    DWORD mask;
};

class ExplicitSecurity {
public:
    ExplicitSecurity() = default;
    ~ExplicitSecurity();
    ExplicitSecurity(const ExplicitSecurity&) = delete;
    ExplicitSecurity& operator=(const ExplicitSecurity&) = delete;

    // Builds an absolute descriptor whose protected DACL grants each entry
    // (no inheritance) and, when owner is given, names that owner. On
    // failure error() holds the Win32 error.
    SecurityStep build(const AccessEntry* entries, DWORD count, PSID owner = nullptr);

    PSECURITY_DESCRIPTOR descriptor() { return &descriptor_; }
    PACL dacl() const { return acl_; }
    DWORD error() const { return error_; }
    // For CreateFileW and CreateDirectoryW; not inheritable.
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    SECURITY_DESCRIPTOR descriptor_ = {};
    SECURITY_ATTRIBUTES attributes_ = {};
    PACL acl_ = nullptr;
    alignas(8) BYTE owner_[SECURITY_MAX_SID_SIZE] = {};
    DWORD error_ = 0;
};

// The local system account's SID, S-1-5-18: built on the first call and
// kept for the life of the process. nullptr, with the last error set, when
// it could not be built.
PSID localSystemSid();

// Copies this process's user SID into sid (SECURITY_MAX_SID_SIZE bytes).
bool processUserSid(BYTE* sid);
