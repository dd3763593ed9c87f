// What decodePipeMessage promises for any bytes a pipe peer may send, checked
// against protobuf's own whole-message parser. Plain C++: the in-process fuzz
// target under Wine and the native libFuzzer target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli_messages.pb.h"
#include "pipe_message.h"

namespace responsecontract {

using ch::qar::client::cli::messages::CLIResponse;

// The message's fields as text, for comparing and for failure lines.
inline std::string describe(const CLIResponse& r) {
    std::string out = "error_code=" + std::to_string(r.error_code());
    out += r.has_error_message() ? " error_message[" + std::to_string(r.error_message().size()) + "]" : " -";
    out += r.has_payload() ? " payload[" + std::to_string(r.payload().size()) + "]" : " -";
    out += " (" + std::to_string(r.ByteSizeLong()) + " bytes)";
    return out;
}

// Explicit presence and the kept unknown fields both show in the bytes.
inline bool same(const CLIResponse& a, const CLIResponse& b) {
    return a.SerializeAsString() == b.SerializeAsString();
}

// Checks one input; returns what was broken, or an empty text.
//  - The prefix is one base-128 varint of at most ten bytes (a negative
//    length takes ten); without one the pipe message is refused: false, and
//    no field is kept, as nothing after it can be located.
//  - After it, the result is what protobuf makes of the longest run of
//    leading bytes that parses as a whole message (the fields before the
//    first fault), and true exactly when all of them parse.
inline std::string check(const uint8_t* data, size_t size) {
    CLIResponse decoded;
    decoded.set_error_code(99);  // the decoder starts from a clear message
    decoded.set_payload("stale");
    bool ok = decodePipeMessage(data, size, decoded);

    size_t prefix = 0;
    while (prefix < size && prefix < 10 && (data[prefix] & 0x80)) ++prefix;
    if (size > 0 && (prefix == size || prefix == 10)) {
        if (ok) return "a pipe message without a whole length prefix was accepted";
        if (!same(decoded, CLIResponse())) return "fields kept after a broken prefix: " + describe(decoded);
        return {};
    }
    const uint8_t* body = size ? data + prefix + 1 : data;
    size_t bodySize = size ? size - prefix - 1 : 0;

    CLIResponse expected;
    bool whole = expected.ParseFromArray(body, static_cast<int>(bodySize));
    if (ok != whole) return std::string("decoder says ") + (ok ? "parsed" : "failed") + ", protobuf says the opposite";
    if (!whole) {
        // A longer run than the first fault never parses: the first run from
        // the end that does is where the faulty field begins.
        size_t run = bodySize;
        while (run > 0 && !expected.ParseFromArray(body, static_cast<int>(--run))) {
        }
    }
    if (!same(decoded, expected)) return "kept " + describe(decoded) + ", expected " + describe(expected);

    // What was kept is a valid message again: it serializes and reads back the same.
    CLIResponse again;
    if (!again.ParseFromString(decoded.SerializeAsString()) || !same(again, decoded)) {
        return "the kept fields do not serialize to a valid message";
    }
    return {};
}

// Valid responses of each kind and boundary lengths, as whole pipe messages.
inline std::vector<std::vector<uint8_t>> corpus() {
    std::vector<std::vector<uint8_t>> out;
    auto add = [&](const CLIResponse& r) {
        std::vector<uint8_t> bytes;
        encodePipeMessage(r, bytes);
        out.push_back(bytes);
    };
    CLIResponse r;
    add(r);  // all defaults: the single byte 00
    r.set_payload("ok");
    add(r);
    r.Clear();
    r.set_error_code(1);
    r.set_error_message("x");
    add(r);
    r.set_error_code(-1);  // ten bytes
    r.set_payload("{\"loginId\":\"abc\",\"active\":true}");
    add(r);
    r.Clear();
    r.set_error_code(0x7FFFFFFF);
    r.set_error_message("Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80");
    add(r);
    r.Clear();
    r.set_payload(std::string(200, 'p'));  // a two-byte prefix
    add(r);
    // The largest reply the client reads: 65536 bytes with the prefix.
    r.Clear();
    r.set_payload(std::string(65536 - 3 - 1 - 3, 'q'));
    add(r);
    // One byte more.
    r.set_payload(std::string(65536 - 3 - 1 - 3 + 1, 'q'));
    add(r);
    // Prefixes that claim something else: 0 with fields after it, 65536, 2^31,
    // a negative length (ten bytes), a prefix alone, nothing at all.
    out.push_back({0x00, 0x1A, 0x02, 0x6F, 0x6B});
    out.push_back({0x80, 0x80, 0x04, 0x08, 0x01, 0x12, 0x01, 0x78});
    out.push_back({0x80, 0x80, 0x80, 0x80, 0x08, 0x1A, 0x02, 0x6F, 0x6B});
    out.push_back({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x1A, 0x02, 0x6F, 0x6B});
    out.push_back({0x80});
    out.push_back({});
    // Unknown fields of each wire type, and a group.
    out.push_back({0x14, 0x20, 0x07, 0x29, 1, 2, 3, 4, 5, 6, 7, 8, 0x2D, 1, 2, 3, 4, 0x33, 0x08, 0x01, 0x34, 0x1A,
                   0x01, 0x61});
    return out;
}

}  // namespace responsecontract
