// The single call transaction with the running QAR Client over the current
// user's pipe.
#pragma once

#include "cli_messages.pb.h"

namespace messages = ch::qar::client::cli::messages;

// Sends request as one pipe message to "\\.\pipe\qar-client-cli_<USERNAME>" and
// returns the client's answer, read from one pipe message of at most 65536 bytes.
// A reply that does not parse completely yields the fields read before the fault.
// Throws std::runtime_error with the text to show when the user name cannot be
// read or does not fit, the request cannot be serialized, the pipe's server
// does not run as the current user (nothing is sent then), or the pipe call
// fails. Never waits for a busy pipe, and lets the server identify the caller
// but never act as it.
messages::CLIResponse callClient(const messages::CLIRequest& request);
