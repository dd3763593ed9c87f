// The other end of a block channel, written against the wire format alone:
//   channel_peer echo-client <pipe> [event]   connect, set the event, echo blocks until the pipe ends
//   channel_peer echo-server <pipe>           listen, echo blocks until the pipe ends
//   channel_peer die-mid-block <pipe>         connect, send a length of 1000 and 10 bytes, exit
//   channel_peer die-reading <pipe>           connect, read a length and 100 bytes, exit
//   channel_peer sink <pipe> <size>           connect, read blocks of <size> (length word and
//                                             payload, no answer) until the pipe ends
// Exit code 0 when the pipe ended as expected, 2 on bad arguments, 3 when the
// pipe could not be reached.
#include "pipe_peer.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

using qartest::readAll;
using qartest::writeAll;

HANDLE connect(const wchar_t* name) {
    for (int i = 0; i < 600; ++i) {
        HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        Sleep(50);
    }
    return INVALID_HANDLE_VALUE;
}

// Echoes blocks until the pipe ends.
int echo(HANDLE pipe) {
    std::vector<char> payload;
    for (;;) {
        int32_t length;
        if (!readAll(pipe, reinterpret_cast<char*>(&length), 4)) return 0;
        payload.resize(static_cast<size_t>(length));
        if (!readAll(pipe, payload.data(), static_cast<DWORD>(length))) return 4;
        if (!writeAll(pipe, reinterpret_cast<char*>(&length), 4) ||
            !writeAll(pipe, payload.data(), static_cast<DWORD>(length)))
            return 5;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const wchar_t* mode = argv[1];
    const wchar_t* name = argv[2];
    if (!wcscmp(mode, L"echo-server")) {
        HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                       0x10000, 0x10000, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 3;
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 3;
        return echo(pipe);
    }
    HANDLE pipe = connect(name);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    if (!wcscmp(mode, L"echo-client")) {
        if (argc > 3) {
            HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
            if (!event || !SetEvent(event)) return 3;
            CloseHandle(event);
        }
        return echo(pipe);
    }
    if (!wcscmp(mode, L"die-mid-block")) {
        char block[14] = {};
        int32_t length = 1000;
        memcpy(block, &length, 4);
        return writeAll(pipe, block, sizeof block) ? 0 : 5;
    }
    if (!wcscmp(mode, L"die-reading")) {
        char part[104];
        return readAll(pipe, part, sizeof part) ? 0 : 4;
    }
    if (!wcscmp(mode, L"sink") && argc > 3) {
        std::vector<char> block(4 + static_cast<size_t>(_wtoi(argv[3])));
        while (readAll(pipe, block.data(), static_cast<DWORD>(block.size()))) {
        }
        return 0;
    }
    return 2;
}
