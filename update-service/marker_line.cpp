#include "marker_line.h"

namespace {

const unsigned char UTF8_BOM[] = {0xEF, 0xBB, 0xBF};

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut sequence), as MultiByteToWideChar with
// MB_ERR_INVALID_CHARS does. Writes at most units units to out (null: only
// count). Returns the number of UTF-16 units, or -1 for bytes that are not
// UTF-8 or a result longer than units.
long decodeUtf8(const unsigned char* in, size_t size, char16_t* out, size_t units) {
    size_t n = 0;
    size_t i = 0;
    while (i < size) {
        unsigned char b = in[i];
        char32_t c;
        size_t extra;
        char32_t min;
        if (b < 0x80) {
            c = b, extra = 0, min = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F, extra = 1, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F, extra = 2, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07, extra = 3, min = 0x10000;
        } else {
            return -1;
        }
        if (extra > size - i - 1) return -1;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = in[i + k];
            if ((next & 0xC0) != 0x80) return -1;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
        i += extra + 1;
        size_t need = c >= 0x10000 ? 2 : 1;
        if (need > units - n) return -1;
        if (out) {
            if (need == 2) {
                out[n] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                out[n + 1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                out[n] = static_cast<char16_t>(c);
            }
        }
        n += need;
    }
    return static_cast<long>(n);
}

}  // namespace

MarkerRead parseMarkerLine(const unsigned char* bytes, size_t size, char16_t* path, size_t units) {
    path[0] = u'\0';
    size_t length = 0;
    while (length < size && bytes[length] != '\r' && bytes[length] != '\n') ++length;

    if (length >= 3 && bytes[0] == UTF8_BOM[0] && bytes[1] == UTF8_BOM[1] && bytes[2] == UTF8_BOM[2]) {
        const unsigned char* utf8 = bytes + 3;
        size_t size8 = length - 3;
        if (size8 == 0) return MarkerRead::Empty;
        // At most three bytes a unit: a longer line cannot fit, whether or not
        // the reader's buffer cut it in the middle of a character.
        if (size8 > 3 * (units - 1)) return MarkerRead::TooLong;
        long n = decodeUtf8(utf8, size8, nullptr, static_cast<size_t>(-1));
        if (n <= 0) return MarkerRead::Empty;
        if (static_cast<size_t>(n) >= units) return MarkerRead::TooLong;
        decodeUtf8(utf8, size8, path, units - 1);
        path[n] = u'\0';
        return MarkerRead::Found;
    }
    if (length == 0) return MarkerRead::Empty;
    if (length >= units) return MarkerRead::TooLong;
    for (size_t i = 0; i < length; ++i) path[i] = bytes[i];
    path[length] = u'\0';
    return MarkerRead::Found;
}
