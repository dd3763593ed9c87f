// One protobuf message as one pipe message: the message's serialized size N as a
// base-128 varint, then its N bytes, and nothing else (protobuf's length-delimited
// framing, one message long).
#pragma once

#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Encodes message as one pipe message into out (resized to exactly its length).
// Returns false when the message cannot be serialized (larger than the runtime's
// 2 GB limit); out is then empty.
bool encodePipeMessage(const google::protobuf::MessageLite& message, std::vector<uint8_t>& out);

// Decodes the pipe message in data[0..size) into message: skips the length prefix
// without using its value and parses every byte after it. Returns whether all of
// it parsed; if not, message keeps the fields before the first one that could not
// be read in full and validated (a string that is not UTF-8, for example), and
// nothing from that field on. An empty pipe message, or one that holds only the
// prefix, parses as the default message; one without a whole prefix (ten
// bytes at most) does not parse and keeps no field.
bool decodePipeMessage(const uint8_t* data, size_t size, google::protobuf::MessageLite& message);
