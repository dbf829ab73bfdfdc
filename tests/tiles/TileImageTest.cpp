// Tile decoding from cache files and the JPEG encoding of map data images.
// Test pictures are made here with libpng and libjpeg directly.
#include "TileCache.h"
#include "TileFileDecode.h"
#include "TileImage.h"
#include "TilePictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace {

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
