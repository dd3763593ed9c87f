#include "hex.h"

#include <cstdio>

std::string bytes(const std::string& hex) {
    std::string out;
    std::string pair;
    for (char c : hex) {
        if (c == ' ') continue;
        pair.push_back(c);
        if (pair.size() == 2) {
            out.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
            pair.clear();
        }
    }
    return out;
}

std::string hex(const std::string& data) {
    std::string out;
    char pair[4];
    for (unsigned char c : data) {
        snprintf(pair, sizeof(pair), out.empty() ? "%02X" : " %02X", c);
        out += pair;
    }
    return out;
}

std::string hex(const std::vector<uint8_t>& data) {
    return hex(std::string(data.begin(), data.end()));
}

std::string framed(const std::string& body) {
    std::string out;
    size_t n = body.size();
    do {
        unsigned char byte = n & 0x7F;
        n >>= 7;
        out.push_back(static_cast<char>(n ? byte | 0x80 : byte));
    } while (n);
    return out + body;
}
