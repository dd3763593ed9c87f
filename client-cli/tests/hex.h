// Byte strings written as hexadecimal, as the tests state expected pipe messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// "08 01 1A" -> the bytes 08 01 1A; spaces are ignored.
std::string bytes(const std::string& hex);

// The bytes as upper-case hexadecimal pairs separated by spaces.
std::string hex(const std::string& data);
std::string hex(const std::vector<uint8_t>& data);

// A pipe message: the length of body as a varint, then body.
std::string framed(const std::string& body);
