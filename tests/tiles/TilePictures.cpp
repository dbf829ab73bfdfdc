#include "TilePictures.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <numeric>

std::string WriteFile(const TTempDir& dir, const std::string& name, const TBytes& bytes) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

TBitmap MapLikeBitmap(int w, int h) {
    TBitmap b(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = b.Row(y) + x * 3;
            p[0] = std::uint8_t(200 + x / 16);
            p[1] = std::uint8_t(180 + y / 16);
            p[2] = std::uint8_t(150 + (x + y) / 32);
            if (x / 64 == 1 && y / 64 == 2) p[0] = p[1] = p[2] = 90;
        }
    return b;
}

double MeanAbsError(const TBitmap& a, const TBitmap& b) {
    if (a.Rgb.size() != b.Rgb.size() || a.Rgb.empty()) return 1e9;
    return std::transform_reduce(a.Rgb.begin(), a.Rgb.end(), b.Rgb.begin(), 0.0, std::plus<>(),
                                 [](int x, int y) { return std::abs(x - y); }) / double(a.Rgb.size());
}

TBytes WritePng(png_uint_32 w, png_uint_32 h, png_uint_32 format, const TBytes& pixels) {
    png_image image{nullptr, PNG_IMAGE_VERSION, w, h, format, 0, 0, 0, {}};
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    TBytes out(size);
    out.resize(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr) ? size : 0);
    return out;
}

TBytes PngOf(const TBitmap& b) { return WritePng(png_uint_32(b.Width), png_uint_32(b.Height), PNG_FORMAT_RGB, b.Rgb); }
