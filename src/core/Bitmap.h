// A plain 24-bit RGB picture, rows top to bottom, no padding. The decoders
// fill it, the JPEG encoder and the windows read it.
#pragma once

#include <cstdint>
#include <vector>

struct TBitmap {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Rgb;  // Width * Height * 3 bytes

    TBitmap() = default;
    TBitmap(int w, int h) : Width(w), Height(h), Rgb(size_t(w) * size_t(h) * 3, 0xFF) {}  // white, like a new bitmap
    bool Empty() const { return Width <= 0 || Height <= 0; }
    std::uint8_t* Row(int y) { return Rgb.data() + size_t(y) * size_t(Width) * 3; }
    const std::uint8_t* Row(int y) const { return Rgb.data() + size_t(y) * size_t(Width) * 3; }
};
