// Per-tile codec costs on 256x256 tiles: what the map view pays to paint a
// cached tile and what the map data writer pays per entry.
#include "TileImage.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include <png.h>

namespace {

using TBytes = std::vector<std::uint8_t>;
constexpr int Side = 256;

// Flat land and water, a grid of roads and a few labels' worth of detail.
TBitmap MapLikeTile() {
    TBitmap b(Side, Side);
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            std::uint8_t* p = b.Row(y) + x * 3;
            const bool water = (x - 40) * (x - 40) + (y - 200) * (y - 200) < 60 * 60;
            p[0] = water ? 165 : 242;
            p[1] = water ? 191 : 239;
            p[2] = water ? 221 : 233;
            if (x % 48 < 3 || y % 64 < 2) p[0] = 255, p[1] = 255, p[2] = 255;  // roads
            if ((x + 2 * y) % 97 < 2) p[0] = 250, p[1] = 178, p[2] = 64;       // a highway
            if (x > 100 && x < 160 && y > 120 && y < 128 && (x ^ y) % 3 == 0) p[0] = p[1] = p[2] = 60;  // text
        }
    return b;
}

// Satellite-like: a smooth field with strong noise.
TBitmap PhotoLikeTile() {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> noise(-40, 40);
    TBitmap b(Side, Side);
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            std::uint8_t* p = b.Row(y) + x * 3;
            const int base = 80 + (x + y) / 8;
            p[0] = std::uint8_t(std::clamp(base + noise(random), 0, 255));
            p[1] = std::uint8_t(std::clamp(base + 20 + noise(random), 0, 255));
            p[2] = std::uint8_t(std::clamp(base - 20 + noise(random), 0, 255));
        }
    return b;
}

TBytes WritePng(png_uint_32 format, const TBytes& pixels, const TBytes& colormap = {}, png_uint_32 entries = 0) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = Side;
    image.height = Side;
    image.format = format;
    image.colormap_entries = entries;
    const void* cmap = colormap.empty() ? nullptr : colormap.data();
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, cmap);
    TBytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, cmap)) std::abort();
    out.resize(size);
    return out;
}

TBytes RgbPng() { return WritePng(PNG_FORMAT_RGB, MapLikeTile().Rgb); }

// The map tile reduced to a 16-colour palette, as tile services often serve.
TBytes PalettePng() {
    const TBitmap map = MapLikeTile();
    TBytes colormap;
    TBytes indices(std::size_t(Side) * Side);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const std::uint8_t* p = map.Rgb.data() + i * 3;
        std::size_t entry = 0;
        for (; entry < colormap.size() / 3; ++entry)
            if (colormap[entry * 3] == p[0] && colormap[entry * 3 + 1] == p[1] && colormap[entry * 3 + 2] == p[2]) break;
        if (entry == colormap.size() / 3) {
            if (entry == 256) std::abort();
            colormap.insert(colormap.end(), p, p + 3);
        }
        indices[i] = std::uint8_t(entry);
    }
    return WritePng(PNG_FORMAT_RGB_COLORMAP, indices, colormap, png_uint_32(colormap.size() / 3));
}

void RunPngDecode(benchmark::State& state, const TBytes& png) {
    for (auto _ : state) {
        auto bitmap = DecodePng(png.data(), png.size());
        if (!bitmap) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(bitmap);
    }
    state.counters["bytes"] = double(png.size());
    state.counters["tiles/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PngDecodeRgb(benchmark::State& state) { RunPngDecode(state, RgbPng()); }
void BM_PngDecodePalette(benchmark::State& state) { RunPngDecode(state, PalettePng()); }

void BM_JpegDecodePhoto(benchmark::State& state) {
    const TBytes jpeg = EncodeJpeg(PhotoLikeTile(), 90);
    for (auto _ : state) {
        auto bitmap = DecodeJpeg(jpeg.data(), jpeg.size());
        if (!bitmap) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(bitmap);
    }
    state.counters["bytes"] = double(jpeg.size());
    state.counters["tiles/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void RunJpegEncode(benchmark::State& state, const TBitmap& bitmap) {
    std::size_t size = 0;
    for (auto _ : state) {
        auto jpeg = EncodeJpeg(bitmap, 90);
        if (jpeg.empty()) state.SkipWithError("encode failed");
        size = jpeg.size();
        benchmark::DoNotOptimize(jpeg);
    }
    state.counters["bytes"] = double(size);
    state.counters["tiles/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_JpegEncodeQ90Map(benchmark::State& state) { RunJpegEncode(state, MapLikeTile()); }
void BM_JpegEncodeQ90Photo(benchmark::State& state) { RunJpegEncode(state, PhotoLikeTile()); }

// The writer's work per entry for a PNG tile: decode and re-encode.
void RunPngToJpeg(benchmark::State& state, const TBytes& png) {
    for (auto _ : state) {
        auto bitmap = DecodePng(png.data(), png.size());
        if (!bitmap) {
            state.SkipWithError("decode failed");
            break;
        }
        auto jpeg = EncodeJpeg(*bitmap, 90);
        benchmark::DoNotOptimize(jpeg);
    }
    state.counters["tiles/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PngToJpegRgb(benchmark::State& state) { RunPngToJpeg(state, RgbPng()); }
void BM_PngToJpegPalette(benchmark::State& state) { RunPngToJpeg(state, PalettePng()); }

}  // namespace

BENCHMARK(BM_PngDecodeRgb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PngDecodePalette)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JpegDecodePhoto)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JpegEncodeQ90Map)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JpegEncodeQ90Photo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PngToJpegRgb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PngToJpegPalette)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
