// What parseMarkerLine promises for any bytes found in a marker file. Plain
// C++: the in-process fuzz target under Wine and the native libFuzzer target
// share it (under Wine the UTF-8 form is also checked against Windows' own
// conversion).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "marker_line.h"

namespace markercontract {

inline const char* name(MarkerRead r) {
    switch (r) {
    case MarkerRead::Missing: return "Missing";
    case MarkerRead::Empty: return "Empty";
    case MarkerRead::Untrusted: return "Untrusted";
    case MarkerRead::TooLong: return "TooLong";
    case MarkerRead::Found: return "Found";
    }
    return "?";
}

// UTF-16 to UTF-8, for the way back; false for a lone surrogate.
inline bool toUtf8(const char16_t* text, size_t n, std::string& out) {
    out.clear();
    for (size_t i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// The outcome of one parse: the verdict and the path's units.
struct Outcome {
    MarkerRead result;
    std::u16string path;
};

// Parses bytes into a path buffer of units units that the caller provides
// (path; the fuzz targets end it at a no-access page) and checks the rules:
//  - only Empty, TooLong or Found; the path is empty unless Found; nothing is
//    written past the buffer (the no-access page shows that);
//  - the verdict depends on the first line alone: not on what follows its
//    line end, nor on where the reader's buffer (MARKER_READ_BYTES) cut a
//    longer file;
//  - Latin-1 (no mark): Found holds the line's bytes one a unit, TooLong
//    means at least units bytes, Empty an empty line;
//  - UTF-8 (the mark): Found holds exactly the line's text, which encodes back
//    to the same bytes; Empty follows the mark alone or bytes that are not
//    UTF-8; TooLong is never given to a line that fits.
// Returns what was broken, or an empty text.
inline std::string check(const unsigned char* bytes, size_t size, char16_t* path, size_t units, Outcome& outcome) {
    // The path is what comes before the terminator: the last NUL in the
    // buffer, as the text itself may hold NULs (the filler never is one).
    bool terminated = true;
    auto parse = [&](size_t n) {
        for (size_t i = 0; i < units; ++i) path[i] = u'#';
        MarkerRead r = parseMarkerLine(bytes, n, path, units);
        size_t end = units;
        for (size_t i = units; i-- > 0;) {
            if (path[i] == 0) {
                end = i;
                break;
            }
        }
        if (end == units) terminated = false;
        return Outcome{r, std::u16string(path, end == units ? 0 : end)};
    };
    Outcome o = parse(size);
    outcome = o;
    if (!terminated) return std::string(name(o.result)) + " without a terminated path";
    if (o.result != MarkerRead::Found && o.result != MarkerRead::Empty && o.result != MarkerRead::TooLong) {
        return std::string("verdict ") + name(o.result);
    }
    if (o.result != MarkerRead::Found && path[0] != 0) return std::string(name(o.result)) + " with a path";

    size_t line = 0;
    while (line < size && bytes[line] != '\r' && bytes[line] != '\n') ++line;
    if (line < size) {
        Outcome cut = parse(line + 1);
        if (cut.result != o.result || cut.path != o.path) return "the bytes after the line end changed the verdict";
    }
    if (size > MARKER_READ_BYTES && units <= 1024) {
        Outcome cut = parse(MARKER_READ_BYTES);
        if (cut.result != o.result || cut.path != o.path) {
            return std::string("the reader's cut changed the verdict: ") + name(o.result) + " whole, " +
                   name(cut.result) + " cut";
        }
    }
    parse(size);  // the caller sees the buffer of the whole parse

    bool utf8 = line >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
    if (!utf8) {
        switch (o.result) {
        case MarkerRead::Found:
            if (o.path.size() != line || line >= units) return "Latin-1 path of the wrong length";
            for (size_t i = 0; i < line; ++i) {
                if (o.path[i] != bytes[i]) return "Latin-1 path differs at " + std::to_string(i);
            }
            break;
        case MarkerRead::TooLong:
            if (line < units) return "Latin-1 line of " + std::to_string(line) + " bytes called too long";
            break;
        default:
            if (line != 0) return "Latin-1 line of " + std::to_string(line) + " bytes called empty";
        }
        return {};
    }
    std::string body(reinterpret_cast<const char*>(bytes) + 3, line - 3);
    switch (o.result) {
    case MarkerRead::Found: {
        std::string back;
        if (o.path.empty() || o.path.size() >= units) return "UTF-8 path of the wrong length";
        if (!toUtf8(o.path.data(), o.path.size(), back) || back != body) return "UTF-8 path is not the line's text";
        break;
    }
    case MarkerRead::TooLong:
        // Three bytes a unit at most: a body of up to 3 * (units - 1) bytes
        // is too long only when it decodes to units or more.
        if (body.size() <= units - 1) return "UTF-8 line of " + std::to_string(body.size()) + " bytes called too long";
        break;
    default:
        break;
    }
    return {};
}

// The writer's lines and the edges of the reader's rules.
inline std::vector<std::vector<uint8_t>> corpus() {
    auto b = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    const std::string bom = "\xEF\xBB\xBF";
    std::string euro1023, emoji600;
    for (int i = 0; i < 1023; ++i) euro1023 += "\xE2\x82\xAC";
    for (int i = 0; i < 600; ++i) emoji600 += "\xF0\x9F\x98\x80";
    return {
        b("C:\\Apps\\Client Tool\\Client Tool.exe\r\n"),
        b("C:\\Apps\\Z\xfcrich\\app.exe\r\n"),
        b(bom + "C:\\Apps\\\xD0\x9A\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82\\app.exe\r\n"),
        b(bom + "C:\\\xF0\x9F\x98\x80.exe\r\n"),
        b(std::string(1023, 'a') + "\r\n"),
        b(std::string(1024, 'a') + "\r\n"),
        b(std::string(5000, 'a')),
        b(bom + euro1023 + "\r\n"),
        b(bom + euro1023 + "\xD0\x9A\r\n"),
        b(bom + euro1023 + euro1023),  // cut by the reader's buffer inside a character
        b(bom + emoji600 + "\r\n"),
        b(bom + emoji600 + emoji600),
        b("C:\\a.exe\nC:\\b.exe\n"),
        b("C:\\a.exe\rrest"),
        b(""),
        b("\r\n"),
        b(bom),
        b(bom + "\r\n"),
        b("\xEF\xBB\r\n"),
        b(bom + "C:\\\xC3(.exe\r\n"),
        b(bom + "\xED\xA0\x80\r\n"),          // an encoded surrogate
        b(bom + "\xC0\x80\r\n"),              // an overlong NUL
        b(bom + "\xF4\x90\x80\x80\r\n"),      // above U+10FFFF
        b(std::string("C:\\a\0b.exe\r\n", 12)),  // a NUL inside the line
    };
}

}  // namespace markercontract
