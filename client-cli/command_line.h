// The command line of qar-client-cli: one subcommand, sent to the running QAR
// Client, and its answer printed.
#pragma once

// Parses the command line (the narrow argument vector, passed on unchanged),
// sends the chosen subcommand's request and prints the answer: the payload on
// standard output, the error message on standard error. Returns the process
// exit code: 0 when the client reported success, 1 when it reported a failure or
// the request could not be delivered, CLI11's code for help and parse errors.
int runClientCli(int argc, const char* const* argv);
