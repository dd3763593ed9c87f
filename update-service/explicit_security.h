// Security descriptors that the program builds for what it creates: a
// protected DACL of explicit entries, so that nothing is inherited from the
// folder an object lands in.
#pragma once

#include <windows.h>

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
    // (no inheritance) and, when owner is given, names that owner.
    // 0 on success; otherwise the step that failed (1 building a SID, 2 the
    // ACL, 3 the descriptor) with error() holding the Win32 error.
    int build(const AccessEntry* entries, DWORD count, PSID owner = nullptr);

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
