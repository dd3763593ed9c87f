// The security of the channel's listening pipe: full access for the creating
// token's user, local system and Administrators, and nothing for anybody else
// (the default descriptor would let Everyone and anonymous read).
#pragma once

#include <windows.h>

#include <vector>

class ListenerSecurity {
public:
    ListenerSecurity();
    ListenerSecurity(const ListenerSecurity&) = delete;
    ListenerSecurity& operator=(const ListenerSecurity&) = delete;

    // Null when the descriptor could not be built; the pipe is then not created.
    SECURITY_ATTRIBUTES* attributes() { return ok_ ? &attributes_ : nullptr; }

private:
    std::vector<BYTE> user_;  // TOKEN_USER of the creating token
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ok_ = false;
};
