// The two messages and their pipe framing, byte for byte: what the command line
// sends and what it makes of the client's answer.
#include <gtest/gtest.h>

#include <google/protobuf/stubs/logging.h>

#include <functional>
#include <optional>

#include "cli_messages.pb.h"
#include "hex.h"
#include "pipe_message.h"

using namespace ch::qar::client::cli::messages;

namespace {

std::string encoded(const google::protobuf::MessageLite& message) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(encodePipeMessage(message, out));
    return hex(out);
}

// Decodes a pipe message given in hexadecimal; parsed tells whether it parsed.
CLIResponse decoded(const std::string& hexBytes, bool* parsed = nullptr) {
    std::string data = bytes(hexBytes);
    CLIResponse response;
    bool ok = decodePipeMessage(reinterpret_cast<const uint8_t*>(data.data()), data.size(), response);
    if (parsed) *parsed = ok;
    return response;
}

// Collects what the runtime logs while it lives.
class CapturedLog {
public:
    CapturedLog() {
        lines_.clear();
        previous_ = google::protobuf::SetLogHandler(&CapturedLog::handle);
    }
    ~CapturedLog() { google::protobuf::SetLogHandler(previous_); }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    static void handle(google::protobuf::LogLevel level, const char*, int, const std::string& message) {
        lines_.push_back(std::string(level == google::protobuf::LOGLEVEL_ERROR ? "ERROR " : "other ") + message);
    }
    static inline std::vector<std::string> lines_;
    google::protobuf::LogHandler* previous_;
};

struct RequestCase {
    std::function<void(CLIRequest&)> fill;
    const char* bytes;  // the whole pipe message
    const char* name;
};

class RequestEncoding : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestEncoding, IsThePipeMessage) {
    CLIRequest request;
    GetParam().fill(request);
    EXPECT_EQ(encoded(request), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RequestEncoding,
    testing::Values(
        RequestCase{[](CLIRequest&) {}, "00", "StatusIsEmpty"},
        RequestCase{[](CLIRequest& r) {
                        r.set_request_type(REQUEST_TYPE_LEGACY_GET_IDENTITY);
                        r.set_login_id("abc");
                    },
                    "08 08 01 82 01 03 61 62 63", "GetIdentity"},
        RequestCase{[](CLIRequest& r) {
                        r.set_request_type(REQUEST_TYPE_LEGACY_SET_ACTIVE_IDENTITY);
                        r.set_login_id("abc");
                        r.set_authenticate(true);
                    },
                    "0B 08 04 82 01 03 61 62 63 88 01 01", "SetActiveIdentityAuthenticated"},
        RequestCase{[](CLIRequest& r) {
                        r.set_request_type(REQUEST_TYPE_LEGACY_SET_ACTIVE_IDENTITY);
                        r.set_login_id("");
                        r.set_authenticate(false);
                    },
                    "08 08 04 82 01 00 88 01 00", "SetEmptyAndFalseAreWritten"},
        RequestCase{[](CLIRequest& r) { r.set_request_type(REQUEST_TYPE_LEGACY_INVALIDATE_SESSION); }, "02 08 05",
                    "UnsetFieldsAreAbsent"},
        RequestCase{[](CLIRequest& r) { r.set_request_type(static_cast<RequestType>(-1)); },
                    "0B 08 FF FF FF FF FF FF FF FF FF 01", "NegativeEnumTakesTenBytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestEncoding, LongLoginIdTakesATwoBytePrefix) {
    CLIRequest request;
    request.set_request_type(REQUEST_TYPE_LEGACY_GET_IDENTITY);
    request.set_login_id(std::string(123, 'q'));
    EXPECT_EQ(request.ByteSizeLong(), 128u);
    std::vector<uint8_t> out;
    ASSERT_TRUE(encodePipeMessage(request, out));
    ASSERT_EQ(out.size(), 130u);
    EXPECT_EQ(hex(std::vector<uint8_t>(out.begin(), out.begin() + 7)), "80 01 08 01 82 01 7B");
    EXPECT_EQ(std::string(out.begin() + 7, out.end()), std::string(123, 'q'));
}

TEST(RequestEncoding, InvalidUtf8IsWrittenAndLogged) {
    CapturedLog log;
    CLIRequest request;
    request.set_request_type(REQUEST_TYPE_LEGACY_GET_IDENTITY);
    request.set_login_id("caf\xE9");
    EXPECT_EQ(encoded(request), "09 08 01 82 01 04 63 61 66 E9");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "ERROR String field 'ch.qar.client.cli.messages.CLIRequest.login_id' contains invalid UTF-8 data when "
              "serializing a protocol buffer. Use the 'bytes' type if you intend to send raw bytes. ");
}

TEST(Messages, ReportTheirFullTypeNames) {
    EXPECT_EQ(CLIRequest().GetTypeName(), "ch.qar.client.cli.messages.CLIRequest");
    EXPECT_EQ(CLIResponse().GetTypeName(), "ch.qar.client.cli.messages.CLIResponse");
}

TEST(RequestDecoding, KeepsUnlistedEnumValuesAndReadsAnyNonZeroBoolAsTrue) {
    CLIRequest request;
    std::string data = bytes("08 09 88 01 02");
    ASSERT_TRUE(request.ParseFromString(data));
    EXPECT_EQ(static_cast<int>(request.request_type()), 9);
    EXPECT_TRUE(request.has_authenticate());
    EXPECT_TRUE(request.authenticate());
    EXPECT_FALSE(request.has_login_id());
}

TEST(ResponseEncoding, IsThePipeMessage) {
    CLIResponse ok;
    ok.set_payload("ok");
    EXPECT_EQ(encoded(ok), "04 1A 02 6F 6B");
    CLIResponse failed;
    failed.set_error_code(1);
    failed.set_error_message("x");
    EXPECT_EQ(encoded(failed), "05 08 01 12 01 78");
}

struct ResponseCase {
    const char* bytes;  // the whole pipe message
    bool parses;
    int errorCode;
    std::optional<std::string> errorMessage;  // std::nullopt: not set
    std::optional<std::string> payload;       // std::nullopt: not set
    const char* name;
};

class ResponseDecoding : public testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseDecoding, KeepsTheFieldsRead) {
    const ResponseCase& c = GetParam();
    bool parsed = !c.parses;
    CLIResponse response = decoded(c.bytes, &parsed);
    EXPECT_EQ(parsed, c.parses);
    EXPECT_EQ(response.error_code(), c.errorCode);
    EXPECT_EQ(response.has_error_message(), c.errorMessage.has_value());
    EXPECT_EQ(response.error_message(), c.errorMessage.value_or(""));
    EXPECT_EQ(response.has_payload(), c.payload.has_value());
    EXPECT_EQ(response.payload(), c.payload.value_or(""));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ResponseDecoding,
    testing::Values(
        ResponseCase{"04 1A 02 6F 6B", true, 0, std::nullopt, "ok", "SuccessWithPayload"},
        ResponseCase{"05 08 01 12 01 78", true, 1, "x", std::nullopt, "FailureWithMessage"},
        ResponseCase{"", true, 0, std::nullopt, std::nullopt, "EmptyIsTheDefault"},
        ResponseCase{"00", true, 0, std::nullopt, std::nullopt, "PrefixOnlyIsTheDefault"},
        // A prefix cut short is no pipe message at all.
        ResponseCase{"80 80", false, 0, std::nullopt, std::nullopt, "PrefixCutShortIsRefused"},
        // A negative length takes ten bytes; the message still follows it.
        ResponseCase{"FF FF FF FF FF FF FF FF FF 01 1A 02 6F 6B", true, 0, std::nullopt, "ok", "NegativePrefixIsSkipped"},
        // The prefix claims 2 bytes; the message runs to the end of the pipe message.
        ResponseCase{"02 08 07 1A 02 6F 6B", true, 7, std::nullopt, "ok", "PrefixValueIsNotUsed"},
        ResponseCase{"08 12 01 78 1A 02 6F 6B", true, 0, "x", "ok", "PayloadAndMessageTogether"},
        ResponseCase{"0B 08 FF FF FF FF FF FF FF FF FF 01", true, -1, std::nullopt, std::nullopt,
                     "NegativeErrorCode"},
        // Field 4 (varint 7) and field 5 ("hi") are not in the schema.
        ResponseCase{"0A 20 07 1A 02 6F 6B 2A 02 68 69", true, 0, std::nullopt, "ok", "UnknownFieldsIgnored"},
        // error_message "x", error_code 1, then a payload that claims 5 bytes and has 1.
        ResponseCase{"08 12 01 78 08 01 1A 05 61", false, 1, "x", std::nullopt, "MalformedKeepsFieldsBefore"},
        ResponseCase{"05 1A 02 6F 6B 08", false, 0, std::nullopt, "ok", "TruncatedTagKeepsFieldsBefore"},
        ResponseCase{"05 1A 02 6F 6B 00", false, 0, std::nullopt, "ok", "ZeroTagKeepsFieldsBefore"},
        // Parsed whole, the runtime would keep "a" and four bytes that never came.
        ResponseCase{"03 1A 05 61", false, 0, std::nullopt, std::nullopt, "TruncatedStringIsNotKept"},
        // Parsed whole, the runtime would keep the string that fails the check.
        ResponseCase{"08 08 01 1A 02 C3 28 12 01 78", false, 1, std::nullopt, std::nullopt, "InvalidUtf8IsNotKept"},
        // Written twice, the last value counts, even the default one.
        ResponseCase{"08 08 05 1A 01 61 08 00", true, 0, std::nullopt, "a", "LastValueWins"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponseUnknownFields, AreWrittenBackAfterTheKnownOnes) {
    CLIResponse response = decoded("0A 20 07 1A 02 6F 6B 2A 02 68 69");
    EXPECT_EQ(hex(response.SerializeAsString()), "1A 02 6F 6B 20 07 2A 02 68 69");
}

TEST(ResponseInvalidUtf8, IsLoggedWithoutTheFieldName) {
    CapturedLog log;
    decoded("05 1A 02 C3 28");
    // When parsing, the lite runtime's log line does not name the field.
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "ERROR String field contains invalid UTF-8 data when parsing a protocol buffer. Use the 'bytes' type "
              "if you intend to send raw bytes. ");
}

}  // namespace
