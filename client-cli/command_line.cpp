#include "command_line.h"

#include <fcntl.h>
#include <io.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <string>


namespace {

/// One subcommand: its name and description on the command line, and what its
/// request carries.
struct Subcommand {
    const char* name;
    const char* description;
    messages::RequestType type;
    bool sendsLoginId;       // login_id is set, to the --login-id text or empty
    bool sendsAuthenticate;  // authenticate is set, to the --authenticate flag
};

// In the order in which they are registered and looked up.
const Subcommand SUBCOMMANDS[] = {
    {"legacy-status", "Legacy Client API GET /status", messages::REQUEST_TYPE_LEGACY_STATUS, false, false},
    {"legacy-get-identity", "Legacy Client API GET /identity/<loginId>", messages::REQUEST_TYPE_LEGACY_GET_IDENTITY,
     true, false},
    {"legacy-get-identities", "Legacy Client API GET /identities/<loginId>",
     messages::REQUEST_TYPE_LEGACY_GET_IDENTITIES, false, false},
    {"legacy-get-active-identity", "Legacy Client API GET /active-identity",
     messages::REQUEST_TYPE_LEGACY_GET_ACTIVE_IDENTITY, false, false},
    {"legacy-set-active-identity", "Legacy Client API POST /active-identity",
     messages::REQUEST_TYPE_LEGACY_SET_ACTIVE_IDENTITY, true, true},
    {"legacy-invalidate-session", "Legacy Client API POST /invalidate-session",
     messages::REQUEST_TYPE_LEGACY_INVALIDATE_SESSION, false, false},
};

/// Writes bytes unchanged, then a CR LF line end, to stream and flushes it.
/// Binary mode keeps the C runtime from turning line feeds inside the bytes
/// into CR LF.
void writeLine(FILE* stream, const std::string& bytes) {
    fflush(stream);
    _setmode(_fileno(stream), _O_BINARY);
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fputs("\r\n", stream);
    fflush(stream);
}

}  // namespace

bool parseClientCommandLine(int argc, const char* const* argv, messages::CLIRequest& request, int& exitCode,
                            std::ostream& out, std::ostream& err) {
    std::string loginId;
    bool authenticate = false;

    // An empty name: usage and help show the program as it was invoked.
    CLI::App app{"QAR Client CLI"};
    app.add_option("--login-id", loginId, "The QAR ID");
    app.add_flag("--authenticate", authenticate, "Should authentication be performed");
    // Before the subcommands, which inherit it: unknown arguments are ignored.
    app.allow_extras();
    CLI::App* handles[std::size(SUBCOMMANDS)];
    for (size_t i = 0; i < std::size(SUBCOMMANDS); ++i) {
        handles[i] = app.add_subcommand(SUBCOMMANDS[i].name, SUBCOMMANDS[i].description);
    }
    app.require_subcommand(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e, out, err);
        return false;
    }

    const Subcommand* chosen = nullptr;
    for (size_t i = 0; i < std::size(SUBCOMMANDS) && !chosen; ++i) {
        if (app.got_subcommand(handles[i])) chosen = &SUBCOMMANDS[i];
    }
    if (!chosen) {
        exitCode = app.exit(CLI::ParseError("Invalid subcommand", 1), out, err);
        return false;
    }

    request.Clear();
    request.set_request_type(chosen->type);
    if (chosen->sendsLoginId) request.set_login_id(loginId.c_str());
    if (chosen->sendsAuthenticate) request.set_authenticate(authenticate);
    return true;
}

int runClientCli(int argc, const char* const* argv) {
    messages::CLIRequest request;
    int exitCode = 0;
    if (!parseClientCommandLine(argc, argv, request, exitCode, std::cout, std::cerr)) return exitCode;

    try {
        messages::CLIResponse response = callClient(request);
        if (response.error_code() == 0) {
            if (response.has_payload()) writeLine(stdout, response.payload());
            return 0;
        }
        if (response.has_error_message()) writeLine(stderr, response.error_message());
        return 1;
    } catch (const std::exception& e) {
        writeLine(stderr, e.what());
        return 1;
    }
}
