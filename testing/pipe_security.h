// Test support for the rule that pipe clients talk only to a server of their
// own user and never lend it their identity.
#pragma once

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "import_redirect.h"

namespace qartest {

// The string SID of this process's user.
std::wstring currentUserSid();

// A server end of a message-mode pipe (overlapped, one instance) whose creating
// process has ended: created by the helper program orphanPipeExe with the
// security descriptor sddl (its owner is the pipe's owner), handed to this
// process, and returned once the helper's process id can no longer be opened.
// INVALID_HANDLE_VALUE (and a test failure) when that fails.
HANDLE orphanPipe(const std::wstring& orphanPipeExe, const std::wstring& name, const std::wstring& sddl);

// Whether this system's pipe servers see the impersonation level a client
// allows. Wine's impersonate their own token at SecurityImpersonation whatever
// the client asked for, so there a server cannot tell.
bool pipeServersSeeClientLevel();

// Records the path and flags of every CreateFileW call a module makes, while
// it lives: a server cannot always tell what a client allowed (see
// pipeServersSeeClientLevel), but the client's open says it.
class CreateFileRecorder {
public:
    explicit CreateFileRecorder(HMODULE module);
    ~CreateFileRecorder();
    CreateFileRecorder(const CreateFileRecorder&) = delete;
    CreateFileRecorder& operator=(const CreateFileRecorder&) = delete;

    bool ok() const { return original_ != nullptr; }
    // The flags and attributes of each call that opened path, in order.
    std::vector<DWORD> flagsFor(const std::wstring& path) const;

private:
    HMODULE module_;
    void* original_ = nullptr;
};

// Whether flags let a server identify the caller at most: quality of service
// given, at anonymous or identification level.
bool identificationAtMost(DWORD flags);

// One case of the rule on SIDs: who runs the client, the server's user (empty:
// its token cannot be read) and the pipe's owner (empty: unknown).
struct PipeServerCase {
    const char* name;
    const wchar_t* caller;
    const wchar_t* serverUser;
    const wchar_t* pipeOwner;
    bool trusted;
};

inline void PrintTo(const PipeServerCase& c, std::ostream* os) { *os << c.name; }

// The cases every client of a per-user pipe must decide alike.
const std::vector<PipeServerCase>& pipeServerCases();

// Decides one case with a routine of the rule's signature.
bool decide(const PipeServerCase& c, bool (*rule)(PSID caller, PSID serverUser, PSID pipeOwner));

}  // namespace qartest
