// Tile decoding from cache files and the JPEG encoding of map data images.
// Test pictures are made here with libpng and libjpeg directly.
#include "TempDir.h"
#include "TileCache.h"
#include "TileImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <zlib.h>

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

namespace {

std::string WriteFile(const TTempDir& dir, const std::string& name, const TBytes& bytes) {
    const std::string path = (dir / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

// Flat areas, a few lines and a gentle gradient, like a road map tile.
TBitmap MapLikeBitmap(int w = 256, int h = 256) {
    TBitmap b(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = b.Row(y) + x * 3;
            p[0] = std::uint8_t(200 + x / 16);
            p[1] = std::uint8_t(180 + y / 16);
            p[2] = std::uint8_t(150 + (x + y) / 32);
            if (x / 64 == 1 && y / 64 == 2) p[0] = p[1] = p[2] = 90;  // a block
        }
    return b;
}

double MeanAbsError(const TBitmap& a, const TBitmap& b) {
    if (a.Rgb.size() != b.Rgb.size() || a.Rgb.empty()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.Rgb.size(); ++i) sum += std::abs(int(a.Rgb[i]) - int(b.Rgb[i]));
    return sum / double(a.Rgb.size());
}

TBytes WritePng(png_uint_32 w, png_uint_32 h, png_uint_32 format, const TBytes& pixels,
                const TBytes& colormap = {}, png_uint_32 colormapEntries = 0) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = format;
    image.colormap_entries = colormapEntries;
    png_alloc_size_t size = 0;
    const void* cmap = colormap.empty() ? nullptr : colormap.data();
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, cmap)) return {};
    TBytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, cmap)) return {};
    out.resize(size);
    return out;
}

TBytes PngOf(const TBitmap& b) {
    return WritePng(png_uint_32(b.Width), png_uint_32(b.Height), PNG_FORMAT_RGB, b.Rgb);
}

void PutBigEndian32(TBytes& bytes, std::size_t at, std::uint32_t v) {
    bytes[at] = std::uint8_t(v >> 24);
    bytes[at + 1] = std::uint8_t(v >> 16);
    bytes[at + 2] = std::uint8_t(v >> 8);
    bytes[at + 3] = std::uint8_t(v);
}

// A valid PNG whose header claims another size, with the CRC fixed up so
// that only the size check can refuse it.
TBytes PngClaimingSize(std::uint32_t w, std::uint32_t h) {
    TBytes png = PngOf(MapLikeBitmap(16, 16));
    PutBigEndian32(png, 16, w);
    PutBigEndian32(png, 20, h);
    const uLong crc = crc32(0, png.data() + 12, 17);  // "IHDR" and its 13 data bytes
    PutBigEndian32(png, 29, std::uint32_t(crc));
    return png;
}

// JPEG kinds EncodeJpeg never writes: progressive, grey, or CMYK (libjpeg stores
// it the Adobe way, inverted: 255 = no ink). Pixels have `components` bytes.
TBytes LibJpeg(int w, int h, int components, const TBytes& pixels, bool progressive) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 4 ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + cinfo.next_scanline * JDIMENSION(w * components));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    TBytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

TBytes FlatCmyk(int pixels, std::initializer_list<std::uint8_t> cmyk) {
    TBytes out;
    for (int i = 0; i < pixels; ++i) out.insert(out.end(), cmyk);
    return out;
}

// Marker segments of a JPEG up to the first scan: marker -> payloads.
std::multimap<int, TBytes> JpegSegments(const TBytes& jpeg) {
    std::multimap<int, TBytes> segments;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const int marker = jpeg[at + 1];
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) break;
        segments.emplace(marker, TBytes(jpeg.begin() + long(at + 4), jpeg.begin() + long(at + 2 + length)));
        if (marker == 0xDA) break;
        at += 2 + length;
    }
    return segments;
}

// The example tables of the JPEG standard, in natural (row) order.
constexpr int StdLuminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24, 40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35, 55, 64,
    81, 104, 113, 92, 49, 64,  78,  87,  103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr int StdChrominance[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Position in natural order of the k-th coefficient as stored (zig-zag).
constexpr int ZigZagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The IJG quality scaling with baseline clamping, for a table in natural order.
std::vector<int> ScaledTableZigZag(const int* natural, int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::vector<int> stored(64);
    for (int k = 0; k < 64; ++k) {
        int v = (natural[ZigZagToNatural[k]] * scale + 50) / 100;
        stored[std::size_t(k)] = std::clamp(v, 1, 255);
    }
    return stored;
}

}  // namespace

TEST(TileImage, PngAndJpegTilesUnderGifNamesDecodeByContent) {
    TTempDir dir;
    const TBitmap source = MapLikeBitmap();

    const std::string pngPath = WriteFile(dir, "m_12-3412-1538.gif", PngOf(source));
    const TFileTypeResult pngType = GetTileFileType(pngPath);
    ASSERT_TRUE(pngType.Opened);
    ASSERT_TRUE(pngType.Recognised);
    EXPECT_EQ(pngType.TypeName, "PNG");
    std::string error;
    const auto png = DecodeTileFile(pngPath, pngType.TypeName, &error);
    ASSERT_TRUE(png) << error;
    EXPECT_EQ(png->Width, 256);
    EXPECT_EQ(png->Height, 256);
    EXPECT_EQ(png->Rgb, source.Rgb);

    const std::string jpgPath = WriteFile(dir, "s_12-3412-1538.gif", EncodeJpeg(source, 90));
    const TFileTypeResult jpgType = GetTileFileType(jpgPath);
    ASSERT_TRUE(jpgType.Recognised);
    EXPECT_EQ(jpgType.TypeName, "JPG");
    const auto jpg = DecodeTileFile(jpgPath, jpgType.TypeName, &error);
    ASSERT_TRUE(jpg) << error;
    EXPECT_EQ(jpg->Width, 256);
    EXPECT_EQ(jpg->Height, 256);
    EXPECT_LT(MeanAbsError(*jpg, source), 2.0);

    // The content decides, not the type name handed in.
    const auto byContent = DecodeTileFile(jpgPath, "PNG", &error);
    ASSERT_TRUE(byContent) << error;
    EXPECT_EQ(byContent->Rgb, jpg->Rgb);
    const auto viaLoader = LoadJpegBitmap(jpgPath, &error);
    ASSERT_TRUE(viaLoader) << error;
    EXPECT_EQ(viaLoader->Rgb, jpg->Rgb);
}

TEST(TileImage, PngColourModelsDecodeToRgb) {
    // Palette: exact colours from the colour map.
    const TBytes colormap = {255, 0, 0, 0, 128, 0, 10, 20, 30, 255, 255, 255};
    const TBytes indices = {0, 1, 2, 3, 3, 2, 1, 0};
    const TBytes palettePng = WritePng(4, 2, PNG_FORMAT_RGB_COLORMAP, indices, colormap, 4);
    ASSERT_FALSE(palettePng.empty());
    std::string error;
    auto decoded = DecodePng(palettePng.data(), palettePng.size(), &error);
    ASSERT_TRUE(decoded) << error;
    ASSERT_EQ(decoded->Width, 4);
    ASSERT_EQ(decoded->Height, 2);
    for (std::size_t i = 0; i < indices.size(); ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(decoded->Rgb[i * 3 + std::size_t(c)], colormap[indices[i] * 3u + unsigned(c)]) << i;

    // Grey: replicated to all three channels.
    const TBytes grey = {0, 64, 200, 255};
    const TBytes greyPng = WritePng(2, 2, PNG_FORMAT_GRAY, grey);
    decoded = DecodePng(greyPng.data(), greyPng.size(), &error);
    ASSERT_TRUE(decoded) << error;
    for (std::size_t i = 0; i < grey.size(); ++i)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(decoded->Rgb[i * 3 + std::size_t(c)], grey[i]) << i;

    // Alpha: composited over white.
    const TBytes rgba = {200, 0, 0, 0,   0, 0, 255, 255,   0, 0, 0, 128,   30, 60, 90, 255};
    const TBytes rgbaPng = WritePng(2, 2, PNG_FORMAT_RGBA, rgba);
    decoded = DecodePng(rgbaPng.data(), rgbaPng.size(), &error);
    ASSERT_TRUE(decoded) << error;
    const TBytes expectedOpaque = {255, 255, 255, 0, 0, 255};
    EXPECT_EQ(TBytes(decoded->Rgb.begin(), decoded->Rgb.begin() + 6), expectedOpaque);
    for (int c = 0; c < 3; ++c) {
        EXPECT_GT(decoded->Rgb[6 + std::size_t(c)], 60);   // half-transparent black is grey,
        EXPECT_LT(decoded->Rgb[6 + std::size_t(c)], 200);  // neither black nor white
    }
    EXPECT_EQ(TBytes(decoded->Rgb.begin() + 9, decoded->Rgb.end()), (TBytes{30, 60, 90}));
}

TEST(TileImage, OtherJpegKindsDecode) {
    std::string error;
    const TBitmap source = MapLikeBitmap(64, 48);
    const TBytes progressive = LibJpeg(64, 48, 3, source.Rgb, true);
    auto decoded = DecodeJpeg(progressive.data(), progressive.size(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->Width, 64);
    EXPECT_EQ(decoded->Height, 48);
    EXPECT_LT(MeanAbsError(*decoded, source), 2.0);

    const TBytes grey = LibJpeg(8, 8, 1, TBytes(64, 77), false);
    decoded = DecodeJpeg(grey.data(), grey.size(), &error);
    ASSERT_TRUE(decoded) << error;
    ASSERT_EQ(decoded->Rgb.size(), 8u * 8 * 3);
    for (std::uint8_t v : decoded->Rgb) EXPECT_NEAR(v, 77, 2);

    // Adobe CMYK, inverted: no ink is white, full black ink is black.
    const TBytes white = LibJpeg(16, 16, 4, FlatCmyk(256, {255, 255, 255, 255}), false);
    decoded = DecodeJpeg(white.data(), white.size(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->Width, 16);
    for (std::uint8_t v : decoded->Rgb) EXPECT_GE(v, 250);
    const TBytes black = LibJpeg(16, 16, 4, FlatCmyk(256, {255, 255, 255, 0}), false);
    decoded = DecodeJpeg(black.data(), black.size(), &error);
    ASSERT_TRUE(decoded) << error;
    for (std::uint8_t v : decoded->Rgb) EXPECT_LE(v, 5);
}

TEST(TileImage, GifTilesAreRecognisedButNeverDecoded) {
    TTempDir dir;
    const std::vector<TBytes> gifs = {
        {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, ';'},
        {'G', 'I', 'F', '9'},
    };
    for (const TBytes& gif : gifs) {
        const std::string path = WriteFile(dir, "m_5-0-31.gif", gif);
        const TFileTypeResult type = GetTileFileType(path);
        ASSERT_TRUE(type.Opened);
        ASSERT_TRUE(type.Recognised);
        EXPECT_EQ(type.TypeName, "GIF");
        std::string error;
        EXPECT_FALSE(DecodeTileFile(path, type.TypeName, &error));
        EXPECT_NE(error.find("GIF"), std::string::npos) << error;
    }
}

TEST(TileImage, DamagedAndHostileFilesFailWithAReason) {
    TTempDir dir;
    const TBytes png = PngOf(MapLikeBitmap());
    const TBytes jpg = EncodeJpeg(MapLikeBitmap(), 90);
    std::mt19937 random(7);
    TBytes garbage(5000);
    for (auto& b : garbage) b = std::uint8_t(random());
    TBytes pngGarbage(png.begin(), png.begin() + 8);
    pngGarbage.insert(pngGarbage.end(), garbage.begin(), garbage.end());
    TBytes jpgGarbage = {0xFF, 0xD8, 0xFF, 0xE0};
    jpgGarbage.insert(jpgGarbage.end(), garbage.begin(), garbage.end());
    TBytes hugeJpeg = jpg;
    for (std::size_t i = 2; i + 8 < hugeJpeg.size(); ++i)
        if (hugeJpeg[i] == 0xFF && hugeJpeg[i + 1] == 0xC0) {  // SOF0: height and width
            hugeJpeg[i + 5] = hugeJpeg[i + 7] = 0xC0;
            hugeJpeg[i + 6] = hugeJpeg[i + 8] = 0x00;
            break;
        }

    struct TRow {
        const char* Name;
        TBytes Bytes;
        const char* TypeName;
    };
    const std::vector<TRow> rows = {
        {"truncated PNG", TBytes(png.begin(), png.begin() + long(png.size() / 2)), "PNG"},
        {"PNG cut in its header", TBytes(png.begin(), png.begin() + 20), "PNG"},
        {"truncated JPEG", TBytes(jpg.begin(), jpg.begin() + long(jpg.size() / 2)), "JPG"},
        {"JPEG cut after SOI", TBytes(jpg.begin(), jpg.begin() + 4), "JPG"},
        {"random garbage", garbage, ""},
        {"garbage after PNG signature", pngGarbage, "PNG"},
        {"garbage after JFIF start", jpgGarbage, "JPG"},
        {"PNG claiming 100000 x 100000", PngClaimingSize(100000, 100000), "PNG"},
        {"PNG claiming 4097 x 1", PngClaimingSize(4097, 1), "PNG"},
        {"JPEG claiming 49152 x 49152", hugeJpeg, "JPG"},
        {"lower-case png letters only", {'x', 'p', 'n', 'g', 0, 0, 0, 0, 0, 0}, "PNG"},
        {"empty file", {}, ""},
    };
    for (const auto& row : rows) {
        const std::string path = WriteFile(dir, "p_9-1-2.gif", row.Bytes);
        std::string error;
        EXPECT_FALSE(DecodeTileFile(path, row.TypeName, &error)) << row.Name;
        EXPECT_FALSE(error.empty()) << row.Name;
        // The same bytes offered straight to each decoder.
        EXPECT_FALSE(DecodePng(row.Bytes.data(), row.Bytes.size())) << row.Name;
        EXPECT_FALSE(DecodeJpeg(row.Bytes.data(), row.Bytes.size())) << row.Name;
    }
}

TEST(TileImage, UnreadableAndOversizedFilesAreRefused) {
    TTempDir dir;
    const std::string missing = (dir / "m_5-0-0.gif").string();
    const TFileTypeResult missingType = GetTileFileType(missing);
    EXPECT_FALSE(missingType.Opened);
    EXPECT_FALSE(missingType.Error.empty());
    std::string error;
    EXPECT_FALSE(DecodeTileFile(missing, "PNG", &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(LoadJpegBitmap(missing, &error));

    fs::create_directory(dir.Path() / "m_5-0-1.gif");
    EXPECT_FALSE(GetTileFileType((dir / "m_5-0-1.gif").string()).Opened);
    EXPECT_FALSE(DecodeTileFile((dir / "m_5-0-1.gif").string(), "JPG", &error));

    // A FIFO without a writer would block a plain open for ever.
    const std::string fifo = (dir / "m_5-0-4.gif").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(GetTileFileType(fifo).Opened);
    EXPECT_FALSE(DecodeTileFile(fifo, "PNG", &error));
    EXPECT_FALSE(LoadJpegBitmap(fifo, &error));

    // Opened but not recognised is a different answer from "cannot open".
    const TFileTypeResult html = GetTileFileType(WriteFile(dir, "m_5-0-2.gif", {'<', 'h', 't', 'm', 'l', '>'}));
    EXPECT_TRUE(html.Opened);
    EXPECT_FALSE(html.Recognised);

    // A sparse file over the limit is refused from its size alone.
    const std::string big = WriteFile(dir, "m_5-0-3.gif", EncodeJpeg(MapLikeBitmap(), 90));
    fs::resize_file(big, MaxTileFileBytes + 1);
    EXPECT_TRUE(GetTileFileType(big).Recognised);
    EXPECT_FALSE(DecodeTileFile(big, "JPG", &error));
    EXPECT_NE(error.find("limit"), std::string::npos) << error;
    TBytes bytes;
    EXPECT_FALSE(ReadFileBytes(big, MaxTileFileBytes, bytes, &error));
    EXPECT_TRUE(bytes.empty());
}

TEST(EncodeJpeg, WritesBaselineJfifWithStandardTablesAtQuality90) {
    const TBitmap source = MapLikeBitmap();
    std::string error;
    const TBytes jpeg = EncodeJpeg(source, 90, &error);
    ASSERT_GT(jpeg.size(), 100u) << error;
    ASSERT_EQ(TBytes(jpeg.begin(), jpeg.begin() + 4), (TBytes{0xFF, 0xD8, 0xFF, 0xE0}));
    EXPECT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 11), std::string("JFIF\0", 5));
    EXPECT_EQ(TBytes(jpeg.end() - 2, jpeg.end()), (TBytes{0xFF, 0xD9}));

    const auto segments = JpegSegments(jpeg);
    EXPECT_EQ(segments.count(0xC2), 0u);  // not progressive
    EXPECT_EQ(segments.count(0xC1), 0u);
    ASSERT_EQ(segments.count(0xC0), 1u);
    const TBytes& sof = segments.find(0xC0)->second;
    ASSERT_EQ(sof.size(), 6u + 3 * 3);
    EXPECT_EQ(sof[0], 8);                         // precision
    EXPECT_EQ((sof[1] << 8 | sof[2]), 256);       // height
    EXPECT_EQ((sof[3] << 8 | sof[4]), 256);       // width
    EXPECT_EQ(sof[5], 3);                         // components
    EXPECT_EQ(sof[7], 0x22);                      // Y 2x2: 4:2:0
    EXPECT_EQ(sof[10], 0x11);
    EXPECT_EQ(sof[13], 0x11);

    std::map<int, std::vector<int>> tables;
    for (auto [it, end] = segments.equal_range(0xDB); it != end; ++it) {
        const TBytes& dqt = it->second;
        for (std::size_t at = 0; at + 65 <= dqt.size(); at += 65) {
            ASSERT_EQ(dqt[at] >> 4, 0);  // 8-bit entries
            tables[dqt[at] & 15] = std::vector<int>(dqt.begin() + long(at + 1), dqt.begin() + long(at + 65));
        }
    }
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0], ScaledTableZigZag(StdLuminance, 90));
    EXPECT_EQ(tables[1], ScaledTableZigZag(StdChrominance, 90));
    EXPECT_EQ(tables[0][0], 3);

    // Standard Huffman tables: the DC luminance code counts of the standard.
    bool sawStandardDc = false;
    for (auto [it, end] = segments.equal_range(0xC4); it != end; ++it)
        if (it->second.size() >= 17 && it->second[0] == 0x00)
            sawStandardDc = TBytes(it->second.begin() + 1, it->second.begin() + 17) ==
                            TBytes{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(sawStandardDc);

    const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->Width, 256);
    EXPECT_EQ(decoded->Height, 256);
    EXPECT_LT(MeanAbsError(*decoded, source), 2.0);
}

TEST(EncodeJpeg, OddSizesAndNoisePicturesRoundTrip) {
    std::mt19937 random(3);
    TBitmap noise(257, 3);
    for (auto& b : noise.Rgb) b = std::uint8_t(random());
    for (const TBitmap& source : {MapLikeBitmap(1, 1), MapLikeBitmap(17, 9), noise}) {
        std::string error;
        const TBytes jpeg = EncodeJpeg(source, 100, &error);
        ASSERT_FALSE(jpeg.empty()) << error;
        const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size(), &error);
        ASSERT_TRUE(decoded) << error;
        EXPECT_EQ(decoded->Width, source.Width);
        EXPECT_EQ(decoded->Height, source.Height);
    }
}

TEST(EncodeJpeg, RefusesBitmapsThatDoNotHoldTheirPixels) {
    TBitmap shortPixels(8, 8);
    shortPixels.Rgb.resize(10);
    for (const TBitmap& bad : {TBitmap(), TBitmap(0, 5), shortPixels, TBitmap(70000, 1)}) {
        std::string error;
        EXPECT_TRUE(EncodeJpeg(bad, 90, &error).empty());
        EXPECT_FALSE(error.empty());
    }
}
