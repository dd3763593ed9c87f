// Bytes of icon files for the icon tests: images of several depths and the
// two directory layouts createHIcon0 reads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wbtest {

// One image of an icon file: the header (height doubled for the mask), a
// palette for depths of 8 bits and less, the pixels (32 bpp: all of one
// colour; fewer bits: a pattern), an empty AND mask.
inline std::string iconImage(int size, uint32_t colour, int bitCount = 32) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = size;
    h.biHeight = size * 2;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitCount);
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    if (bitCount <= 8) {
        for (int i = 0; i < (1 << bitCount); ++i) {
            uint32_t entry = colour ^ static_cast<uint32_t>(i * 0x010203);
            out.append(reinterpret_cast<const char*>(&entry), 4);
        }
    }
    size_t row = static_cast<size_t>((size * bitCount + 31) / 32 * 4);
    if (bitCount == 32) {
        for (int i = 0; i < size * size; ++i) out.append(reinterpret_cast<const char*>(&colour), 4);
    } else {
        for (size_t i = 0; i < row * static_cast<size_t>(size); ++i) out += static_cast<char>(i * 37);
    }
    size_t maskRow = static_cast<size_t>((size + 31) / 32 * 4);
    out.append(maskRow * static_cast<size_t>(size), '\0');
    return out;
}

inline void put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); }
inline void put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

// An icon file of these images; group: the group-icon resource's layout
// instead (14-byte entries whose id is the image's offset).
inline std::string iconFile(const std::vector<std::string>& images, const std::vector<int>& sizes,
                            bool group = false) {
    std::string out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(images.size()));
    size_t offset = 6 + images.size() * (group ? 14 : 16);
    for (size_t i = 0; i < images.size(); ++i) {
        out += static_cast<char>(sizes[i] & 0xFF);
        out += static_cast<char>(sizes[i] & 0xFF);
        out += '\0';
        out += '\0';
        put16(out, 1);
        put16(out, 32);
        put32(out, static_cast<uint32_t>(images[i].size()));
        if (group) put16(out, static_cast<uint16_t>(offset));
        else put32(out, static_cast<uint32_t>(offset));
        offset += images[i].size();
    }
    for (const auto& image : images) out += image;
    return out;
}

}  // namespace wbtest
