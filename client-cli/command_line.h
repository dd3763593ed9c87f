// The command line of qar-client-cli: one subcommand, sent to the running QAR
// Client, and its answer printed.
#pragma once

#include <iosfwd>

#include "pipe_transaction.h"

// Parses the command line (the narrow argument vector, passed on unchanged)
// without contacting the client. Returns true with request filled for the one
// subcommand given; otherwise false with exitCode set to CLI11's code for the
// help request (0) or the parse error, after CLI11 wrote its text to out or
// err.
bool parseClientCommandLine(int argc, const char* const* argv, messages::CLIRequest& request, int& exitCode,
                            std::ostream& out, std::ostream& err);

// Parses the command line (the narrow argument vector, passed on unchanged),
// sends the chosen subcommand's request and prints the answer: the payload on
// standard output, the error message on standard error. Returns the process
// exit code: 0 when the client reported success, 1 when it reported a failure or
// the request could not be delivered, CLI11's code for help and parse errors.
int runClientCli(int argc, const char* const* argv);
