// The marker's line rules, apart from the file: plain C++ with no Windows
// headers, so that the same routine is also fuzzed natively on the build host.
//
// The first line (everything before the first CR or LF) is the application
// path. A line that starts with the UTF-8 byte-order mark is UTF-8 after it;
// any other line is ISO 8859-1, one byte a unit.
#pragma once

#include <cstddef>

enum class MarkerRead {
    Missing,    // no such file, or it is being written
    Empty,      // no path in it
    Untrusted,  // a link, or written by somebody the clone must not trust
    TooLong,    // the path does not fit the application path buffer
    Found,
};

// How much of the marker the reader looks at: the mark, 1024 units of three
// bytes each and a line end. A line longer than this holds no path that fits.
constexpr size_t MARKER_READ_BYTES = 3 + 3 * 1024 + 2;

// Parses the first line of bytes[0..size) into path (units UTF-16 units,
// terminator included, units > 0). Returns Found with the path, TooLong when
// it does not fit, Empty when the line is empty or is not UTF-8 after the
// mark; path is the empty string unless Found.
MarkerRead parseMarkerLine(const unsigned char* bytes, size_t size, char16_t* path, size_t units);
