// Tile decoding from cache files and the JPEG encoding of map data images.
// Test pictures are made here with libpng and libjpeg directly.
#include "TempDir.h"
#include "TileCache.h"
#include "TileFileDecode.h"
#include "TileImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
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
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

// Flat areas, a block and a gentle gradient, like a road map tile.
TBitmap MapLikeBitmap(int w = 256, int h = 256) {
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

// A one-pixel CMYK JPEG as libjpeg writes it (the Adobe way, inverted: 255 = no ink).
TBytes CmykJpeg(TBytes cmyk) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = cinfo.image_height = 1;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW row = cmyk.data();
    jpeg_write_scanlines(&cinfo, &row, 1);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    TBytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

TBytes WritePng(png_uint_32 w, png_uint_32 h, png_uint_32 format, const TBytes& pixels) {
    png_image image{nullptr, PNG_IMAGE_VERSION, w, h, format, 0, 0, 0, {}};
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    TBytes out(size);
    out.resize(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr) ? size : 0);
    return out;
}

TBytes PngOf(const TBitmap& b) { return WritePng(png_uint_32(b.Width), png_uint_32(b.Height), PNG_FORMAT_RGB, b.Rgb); }

// A valid PNG whose header claims another size, CRC fixed so only the size check can refuse it.
TBytes PngClaimingSize(std::uint32_t w, std::uint32_t h) {
    TBytes png = PngOf(MapLikeBitmap(16, 16));
    const auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
    };
    put(16, w), put(20, h), put(29, std::uint32_t(crc32(0, png.data() + 12, 17)));  // "IHDR" and its 13 data bytes
    return png;
}

}  // namespace

// PNG and JPEG decode by content whatever the name; a GIF is recognised but never decoded.
TEST(TileImage, TilesUnderGifNamesDecodeByContent) {
    TTempDir dir;
    const TBitmap source = MapLikeBitmap();
    const std::pair<std::string, TBytes> rows[] = {
        {"PNG", PngOf(source)}, {"JPG", EncodeJpeg(source, 90)}, {"GIF", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0xFF, ';'}}};
    for (const auto& [typeName, bytes] : rows) {
        const std::string path = WriteFile(dir, "m_12-3412-1538.gif", bytes);
        const auto type = GetTileFileType(path);
        ASSERT_TRUE(type) << typeName;
        EXPECT_EQ(*type, typeName);
        const auto tile = DecodeTileFile(path, typeName);
        if (typeName == "GIF") {
            ASSERT_FALSE(tile);
            EXPECT_NE(tile.Error().Text.find("GIF"), std::string::npos) << tile.Error().Text;
            continue;
        }
        ASSERT_TRUE(tile) << tile.Error().Text;
        EXPECT_LE(MeanAbsError(*tile, source), typeName == "PNG" ? 0.0 : 2.0);
        // The content decides, not the type name handed in.
        const auto byContent = DecodeTileFile(path, typeName == "PNG" ? "" : "PNG");
        ASSERT_TRUE(byContent) << byContent.Error().Text;
        EXPECT_EQ(byContent->Rgb, tile->Rgb);
    }
}

TEST(TileImage, PngAlphaIsCompositedOverWhite) {
    const TBytes rgba = {200, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0, 128, 30, 60, 90, 255};
    const TBytes png = WritePng(2, 2, PNG_FORMAT_RGBA, rgba);
    const auto decoded = DecodePng(png.data(), png.size());
    ASSERT_TRUE(decoded) << decoded.Error().Text;
    const TBytes expected = {255, 255, 255, 0, 0, 255, 130, 130, 130, 30, 60, 90};
    ASSERT_EQ(decoded->Rgb.size(), expected.size());
    for (std::size_t c = 0; c < expected.size(); ++c)  // half-transparent black is grey: neither black nor white
        EXPECT_NEAR(decoded->Rgb[c], expected[c], c / 3 == 2 ? 69 : 0) << c;
}

TEST(TileImage, CmykJpegsAreConvertedToRgb) {
    for (const auto& [cmyk, white] : {std::pair{TBytes{255, 255, 255, 255}, true}, {TBytes{255, 255, 255, 0}, false}}) {
        const TBytes jpeg = CmykJpeg(cmyk);
        const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size());
        ASSERT_TRUE(decoded) << decoded.Error().Text;
        for (std::uint8_t v : decoded->Rgb) EXPECT_TRUE(white ? v >= 250 : v <= 5) << int(v);
    }
}

TEST(TileImage, DamagedAndHostileFilesFailWithAReason) {
    TTempDir dir;
    const TBytes png = PngOf(MapLikeBitmap());
    const TBytes jpg = EncodeJpeg(MapLikeBitmap(), 90);
    std::mt19937 random(7);
    TBytes garbage(5000);
    for (auto& b : garbage) b = std::uint8_t(random());
    const auto thenGarbage = [&](TBytes head) { return head.insert(head.end(), garbage.begin(), garbage.end()), head; };
    TBytes hugeJpeg = jpg;
    const TBytes sof0 = {0xFF, 0xC0};
    const auto sof = std::search(hugeJpeg.begin() + 2, hugeJpeg.end(), sof0.begin(), sof0.end());
    sof[5] = sof[7] = 0xC0, sof[6] = sof[8] = 0;  // height and width become 49152
    TBytes flipped = png;  // one byte of the first IDAT's data changed, its CRC not
    const TBytes idat = {'I', 'D', 'A', 'T'};
    std::search(flipped.begin(), flipped.end(), idat.begin(), idat.end())[10] ^= 0x55;
    const std::vector<std::tuple<const char*, TBytes, const char*>> rows = {
        {"truncated PNG", TBytes(png.begin(), png.begin() + long(png.size() / 2)), "PNG"},
        {"truncated JPEG", TBytes(jpg.begin(), jpg.begin() + long(jpg.size() / 2)), "JPG"},
        {"PNG with a changed data byte", flipped, "PNG"},
        {"random garbage", garbage, ""},
        {"garbage after PNG signature", thenGarbage(TBytes(png.begin(), png.begin() + 8)), "PNG"},
        {"garbage after JFIF start", thenGarbage({0xFF, 0xD8, 0xFF, 0xE0}), "JPG"},
        {"PNG claiming 100000 x 100000", PngClaimingSize(100000, 100000), "PNG"},
        {"PNG claiming 4097 x 1", PngClaimingSize(4097, 1), "PNG"},
        {"JPEG claiming 49152 x 49152", hugeJpeg, "JPG"},
        {"lower-case png letters only", {'x', 'p', 'n', 'g', 0, 0, 0, 0, 0, 0}, "PNG"},
        {"empty file", {}, ""},
    };
    for (const auto& [name, bytes, typeName] : rows) {
        const auto tile = DecodeTileFile(WriteFile(dir, "p_9-1-2.gif", bytes), typeName);
        ASSERT_FALSE(tile) << name;
        EXPECT_FALSE(tile.Error().Text.empty()) << name;
        EXPECT_FALSE(DecodePng(bytes.data(), bytes.size())) << name;
        EXPECT_FALSE(DecodeJpeg(bytes.data(), bytes.size())) << name;
        EXPECT_TRUE(CheckTileBody(bytes, 200)) << name << ": would be cached";
    }
    // libpng reads the pixels of a PNG whose end was cut off; such a body is not cached.
    EXPECT_TRUE(CheckTileBody(TBytes(png.begin(), png.end() - 12), 200));
    EXPECT_FALSE(CheckTileBody(png, 200));
    EXPECT_FALSE(CheckTileBody(jpg, 200));
}

TEST(TileImage, UnreadableAndOversizedFilesAreRefused) {
    TTempDir dir;
    // A FIFO without a writer would block a plain open for ever; a sparse file over the limit is refused from its size alone.
    const std::string missing = (dir / "m_5-0-0.gif").string(), fifo = (dir / "m_5-0-4.gif").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = WriteFile(dir, "m_5-0-3.gif", EncodeJpeg(MapLikeBitmap(), 90));
    fs::resize_file(big, MaxTileFileBytes + 1);
    for (const std::string& path : {missing, fifo, big}) {
        EXPECT_EQ(GetTileFileType(path).has_value(), path == big) << path;
        const auto tile = DecodeTileFile(path, path == fifo ? "PNG" : "JPG");
        ASSERT_FALSE(tile) << path;
        const std::string& error = tile.Error().Text;
        EXPECT_NE(error.find(path == big ? std::string("limit") : path), std::string::npos) << error;
    }
}

// The cache reads each tile once and says what it found; a type with a source
// of its own keeps its tiles apart.
TEST(TileCache, LoadTellsMissingUnreadableUnrecognisedUndecodableAndDecoded) {
    TTempDir dir;
    TServerConfig server;
    server.UrlTemplates[1] = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    const TTileCache cache(dir.DirString(), server);
    EXPECT_EQ(cache.Path({TMapType::Road, 5, 1, 2}), (dir / "m_5-1-2.gif").string());
    EXPECT_EQ(cache.Path({TMapType::Terrain, 5, 1, 2}), (dir / SourceDigest(server.UrlTemplates[1]) / "p_5-1-2.gif").string());

    const TBitmap picture = MapLikeBitmap();
    WriteFile(dir, "m_5-0-0.gif", {'<', 'h', 't', 'm', 'l', '>'});
    WriteFile(dir, "m_5-0-1.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'});
    WriteFile(dir, "m_5-0-2.gif", PngOf(picture));
    ASSERT_EQ(::mkfifo((dir / "m_5-0-3.gif").c_str(), 0600), 0);
    fs::create_directories(dir / SourceDigest(server.UrlTemplates[1]));
    WriteFile(dir, SourceDigest(server.UrlTemplates[1]) + "/p_5-0-2.gif", EncodeJpeg(picture, 90));
    const std::pair<TTileId, TTileState> rows[] = {
        {{TMapType::Road, 5, 0, 9}, TTileState::Missing},     {{TMapType::Road, 5, 0, 0}, TTileState::Unrecognised},
        {{TMapType::Road, 5, 0, 1}, TTileState::Undecodable}, {{TMapType::Road, 5, 0, 2}, TTileState::Decoded},
        {{TMapType::Road, 5, 0, 3}, TTileState::Unreadable},  {{TMapType::Terrain, 5, 0, 2}, TTileState::Decoded},
    };
    for (const auto& [tile, state] : rows) {
        SCOPED_TRACE(TTileCache::TileFileName(tile));
        const TCachedTile got = cache.Load(tile);
        EXPECT_EQ(got.State, state);
        if (state == TTileState::Undecodable) EXPECT_EQ(got.TypeName, "GIF");
        if (state == TTileState::Unreadable) EXPECT_TRUE(got.Error.NotRegular);
        if (state == TTileState::Decoded) EXPECT_LE(MeanAbsError(got.Picture, picture), 2.0);
    }
    // The stand-in is the parent one zoom out.
    WriteFile(dir, "m_4-0-1.gif", PngOf(picture));
    EXPECT_EQ(cache.LoadStandIn({TMapType::Road, 5, 1, 3}).State, TTileState::Decoded);
    EXPECT_EQ(cache.LoadStandIn({TMapType::Road, 5, 2, 3}).State, TTileState::Missing);
}

TEST(EncodeJpeg, WritesBaselineJfifWithStandardTablesAtQuality90) {
    const TBitmap source = MapLikeBitmap();
    const TBytes jpeg = EncodeJpeg(source, 90);
    ASSERT_GT(jpeg.size(), 100u);

    // The first frame header is SOF0 (baseline), not SOF1 (extended) or SOF2 (progressive).
    int sof = 0;
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF && !sof; at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]))
        if (jpeg[at + 1] >= 0xC0 && jpeg[at + 1] <= 0xC2) sof = jpeg[at + 1];
    EXPECT_EQ(sof, 0xC0);

    jpeg_error_mgr err{};
    jpeg_decompress_struct in{};
    in.err = jpeg_std_error(&err);
    jpeg_create_decompress(&in);
    jpeg_mem_src(&in, jpeg.data(), jpeg.size());
    ASSERT_EQ(jpeg_read_header(&in, TRUE), JPEG_HEADER_OK);
    EXPECT_TRUE(in.saw_JFIF_marker);
    ASSERT_EQ(in.num_components, 3);
    for (int c = 0; c < 3; ++c)  // Y 2x2, chroma 1x1: 4:2:0
        EXPECT_EQ(in.comp_info[c].h_samp_factor * 10 + in.comp_info[c].v_samp_factor, c ? 11 : 22) << c;
    // The standard example tables scaled to quality 90 with baseline clamping, as libjpeg makes them.
    jpeg_compress_struct reference{};
    reference.err = &err;
    jpeg_create_compress(&reference);
    reference.in_color_space = JCS_RGB;
    reference.input_components = 3;
    jpeg_set_defaults(&reference);
    jpeg_set_quality(&reference, 90, TRUE);
    for (int t = 0; t < 2; ++t)  // luminance, chrominance
        EXPECT_TRUE(in.quant_tbl_ptrs[t] && std::equal(in.quant_tbl_ptrs[t]->quantval, in.quant_tbl_ptrs[t]->quantval + 64,
                                                       reference.quant_tbl_ptrs[t]->quantval)) << t;
    jpeg_destroy_compress(&reference);
    jpeg_destroy_decompress(&in);

    const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size());
    ASSERT_TRUE(decoded) << decoded.Error().Text;
    EXPECT_LT(MeanAbsError(*decoded, source), 2.0);  // also fails for another size
}

TEST(EncodeJpeg, OddSizesRoundTripAndBrokenBitmapsAreRefused) {
    for (const TBitmap& source : {MapLikeBitmap(1, 1), MapLikeBitmap(17, 9), MapLikeBitmap(257, 3)}) {
        const TBytes jpeg = EncodeJpeg(source, 100);
        const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size());
        ASSERT_TRUE(decoded) << decoded.Error().Text;
        EXPECT_EQ(std::pair(decoded->Width, decoded->Height), std::pair(source.Width, source.Height));
    }
    TBitmap shortPixels(8, 8);
    shortPixels.Rgb.resize(10);
    for (const TBitmap& bad : {TBitmap(), TBitmap(0, 5), shortPixels, TBitmap(70000, 1)})
        EXPECT_THROW(EncodeJpeg(bad, 90), TImageError);
}
