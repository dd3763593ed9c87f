// Fuzz targets of qar-client-cli's outside input: the client's reply on the
// pipe (length prefix and CLIResponse) and the command line. Each checks the
// contract on every input (fuzz.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz.h"
#include "hex.h"
#include "pipe_message.h"
#include "response_contract.h"

using namespace qarfuzz;
using namespace ch::qar::client::cli::messages;

namespace {

// Invalid UTF-8 in a reply is logged by the runtime; thousands of such lines
// say nothing here.
void quiet(google::protobuf::LogLevel, const char*, int, const std::string&) {}

std::string head(const Bytes& bytes) {
    std::string shown = hex(std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 48)));
    return bytes.size() > 48 ? shown + " ... (" + std::to_string(bytes.size()) + " bytes)" : shown;
}

TEST(ResponseDecoderFuzz, KeepsTheFieldsBeforeTheFirstFault) {
    auto* previous = google::protobuf::SetLogHandler(quiet);
    Campaign campaign("qar-client-cli.response", "fuzz");
    // The corpus's replies of 65536 bytes and more go in as they are; the
    // mutations stay shorter, which keeps each check's cost small.
    Generator inputs(seed(), responsecontract::corpus(), 8192);
    const size_t count = inputCount(3000);
    for (size_t i = 0; i < count; ++i) {
        Bytes input = inputs.next();
        campaign.begin(input.data(), input.size());
        GuardedBytes bytes(input);
        bytes.seal();
        std::string broken = responsecontract::check(bytes.data(), bytes.size());
        ASSERT_EQ(broken, "") << "input " << i << ": " << head(input);
    }
    campaign.report();
    google::protobuf::SetLogHandler(previous);
}

// --- the command line -------------------------------------------------------------

const char* const SUBCOMMANDS[] = {"legacy-status",         "legacy-get-identity",        "legacy-get-identities",
                                   "legacy-get-active-identity", "legacy-set-active-identity",
                                   "legacy-invalidate-session"};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Either a request for one subcommand named on the command line, carrying only
// the fields its subcommand sends, with texts that come from the command line,
// and nothing printed; or no request, with CLI11's help on standard output and
// exit code 0, or its error on standard error and one of its exit codes (or 1).
TEST(CommandLineFuzz, IsARequestOrTheUsage) {
    auto* previous = google::protobuf::SetLogHandler(quiet);
    Campaign campaign("qar-client-cli.command-line", "fuzz");
    const std::wstring program = L"qar-client-cli.exe";
    ArgvGenerator inputs(seed(),
                         {{program, L"legacy-status"},
                          {program, L"--login-id", L"alice@example.com", L"legacy-get-identity"},
                          {program, L"legacy-get-identities"},
                          {program, L"legacy-get-active-identity"},
                          {program, L"--login-id", L"bob", L"--authenticate", L"legacy-set-active-identity"},
                          {program, L"--login-id=carol", L"legacy-set-active-identity"},
                          {program, L"legacy-invalidate-session"},
                          {program, L"--help"},
                          {program, L"legacy-status", L"-h"},
                          {program}},
                         {L"legacy-status", L"legacy-get-identity", L"legacy-get-identities",
                          L"legacy-get-active-identity", L"legacy-set-active-identity", L"legacy-invalidate-session",
                          L"--login-id", L"--authenticate", L"-h", L"--help", L"--login-id=x", L"--authenticate=false",
                          L"--authenticate=maybe", L"Legacy-Status", L"legacy", L"--", L"-"});
    const size_t count = inputCount(3000);
    for (size_t i = 0; i < count; ++i) {
        ArgvGenerator::Argv args = inputs.next();
        campaign.begin();
        // Through the system code page, as the runtime builds main's vector,
        // and as UTF-8, which holds every character.
        for (UINT codePage : {static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_UTF8)}) {
            NarrowArgv argv(args, codePage);
            const std::string where = "input " + std::to_string(i) + ": " + describeArgv(args);
            CLIRequest request;
            int exitCode = -12345;
            std::ostringstream out, err;
            bool built = parseClientCommandLine(argv.argc(), argv.argv(), request, exitCode, out, err);
            const auto& given = argv.args();
            if (!built) {
                if (exitCode == 0) {
                    // The application's help, or a subcommand's.
                    ASSERT_NE(out.str().find("-h,--help"), std::string::npos) << where;
                    ASSERT_EQ(err.str(), "") << where;
                } else {
                    ASSERT_TRUE(exitCode == 1 || (exitCode >= 100 && exitCode <= 127)) << exitCode << " " << where;
                    ASSERT_NE(err.str(), "") << where;
                }
                continue;
            }
            ASSERT_EQ(exitCode, -12345) << where;
            ASSERT_EQ(out.str() + err.str(), "") << where;
            int type = request.request_type();
            ASSERT_TRUE(type >= 0 && type <= 5) << type << " " << where;
            ASSERT_NE(std::find(given.begin() + 1, given.end(), SUBCOMMANDS[type]), given.end()) << where;
            ASSERT_EQ(request.has_login_id(), type == 1 || type == 4) << where;
            ASSERT_EQ(request.has_authenticate(), type == 4) << where;
            if (!request.login_id().empty()) {
                bool fromArgs = false;
                for (const auto& a : given) {
                    fromArgs = fromArgs || a == request.login_id() || a == "--login-id=" + request.login_id();
                }
                ASSERT_TRUE(fromArgs) << where;
            }
            if (request.authenticate()) {
                bool flag = false;
                for (const auto& a : given) flag = flag || startsWith(a, "--authenticate");
                ASSERT_TRUE(flag) << where;
            }
            // It goes out as one pipe message that reads back as the same request
            // (a login ID in the code page that is not UTF-8 goes out as it is,
            // and the runtime logs it).
            std::vector<uint8_t> message;
            ASSERT_TRUE(encodePipeMessage(request, message)) << where;
            const std::string& id = request.login_id();
            if (!id.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, id.data(),
                                                   static_cast<int>(id.size()), nullptr, 0) == 0) {
                continue;
            }
            CLIRequest back;
            ASSERT_TRUE(decodePipeMessage(message.data(), message.size(), back)) << where;
            ASSERT_EQ(back.SerializeAsString(), request.SerializeAsString()) << where;
        }
    }
    campaign.report();
    google::protobuf::SetLogHandler(previous);
}

}  // namespace
