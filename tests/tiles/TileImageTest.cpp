// Tile decoding from cache files and the JPEG encoding of map data images.
// Test pictures are made here with libpng and libjpeg directly.
#include "TempDir.h"
#include "TileCache.h"
#include "TileImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    double sum = 0;
    for (std::size_t i = 0; i < a.Rgb.size(); ++i) sum += std::abs(int(a.Rgb[i]) - int(b.Rgb[i]));
    return sum / double(a.Rgb.size());
}

// A flat 16x16 CMYK JPEG as libjpeg writes it (the Adobe way, inverted: 255 = no ink).
TBytes FlatCmykJpeg(std::initializer_list<std::uint8_t> cmyk) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = cinfo.image_height = 16;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    TBytes row;
    for (int i = 0; i < 16; ++i) row.insert(row.end(), cmyk);
    while (cinfo.next_scanline < 16) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    TBytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

TBytes WritePng(png_uint_32 w, png_uint_32 h, png_uint_32 format, const TBytes& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = format;
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    TBytes out(size);
    out.resize(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr) ? size : 0);
    return out;
}

TBytes PngOf(const TBitmap& b) { return WritePng(png_uint_32(b.Width), png_uint_32(b.Height), PNG_FORMAT_RGB, b.Rgb); }

void PutBigEndian32(TBytes& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
}

// A valid PNG whose header claims another size, CRC fixed so only the size check can refuse it.
TBytes PngClaimingSize(std::uint32_t w, std::uint32_t h) {
    TBytes png = PngOf(MapLikeBitmap(16, 16));
    PutBigEndian32(png, 16, w);
    PutBigEndian32(png, 20, h);
    PutBigEndian32(png, 29, std::uint32_t(crc32(0, png.data() + 12, 17)));  // "IHDR" and its 13 data bytes
    return png;
}

}  // namespace

TEST(TileImage, PngAndJpegTilesUnderGifNamesDecodeByContent) {
    TTempDir dir;
    const TBitmap source = MapLikeBitmap();
    const std::pair<std::string, TBytes> rows[] = {{"PNG", PngOf(source)}, {"JPG", EncodeJpeg(source, 90)}};
    for (const auto& [typeName, bytes] : rows) {
        const std::string path = WriteFile(dir, "m_12-3412-1538.gif", bytes);
        const TFileTypeResult type = GetTileFileType(path);
        ASSERT_TRUE(type.Opened && type.Recognised) << typeName;
        EXPECT_EQ(type.TypeName, typeName);
        std::string error;
        const auto tile = DecodeTileFile(path, typeName, &error);
        ASSERT_TRUE(tile) << error;
        EXPECT_EQ(tile->Width, 256);
        EXPECT_EQ(tile->Height, 256);
        if (typeName == "PNG") {
            EXPECT_EQ(tile->Rgb, source.Rgb);
        } else {
            EXPECT_LT(MeanAbsError(*tile, source), 2.0);
            const auto viaLoader = LoadJpegBitmap(path, &error);
            ASSERT_TRUE(viaLoader) << error;
            EXPECT_EQ(viaLoader->Rgb, tile->Rgb);
        }
        // The content decides, not the type name handed in.
        const auto byContent = DecodeTileFile(path, typeName == "PNG" ? "" : "PNG", &error);
        ASSERT_TRUE(byContent) << error;
        EXPECT_EQ(byContent->Rgb, tile->Rgb);
    }
}

TEST(TileImage, PngAlphaIsCompositedOverWhite) {
    const TBytes rgba = {200, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0, 128, 30, 60, 90, 255};
    const TBytes png = WritePng(2, 2, PNG_FORMAT_RGBA, rgba);
    std::string error;
    const auto decoded = DecodePng(png.data(), png.size(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(TBytes(decoded->Rgb.begin(), decoded->Rgb.begin() + 6), (TBytes{255, 255, 255, 0, 0, 255}));
    for (std::size_t c = 6; c < 9; ++c) {  // half-transparent black is grey: neither black nor white
        EXPECT_GT(decoded->Rgb[c], 60);
        EXPECT_LT(decoded->Rgb[c], 200);
    }
    EXPECT_EQ(TBytes(decoded->Rgb.begin() + 9, decoded->Rgb.end()), (TBytes{30, 60, 90}));
}

TEST(TileImage, CmykJpegsAreConvertedToRgb) {
    for (const auto& [cmyk, white] : {std::pair{TBytes{255, 255, 255, 255}, true}, {TBytes{255, 255, 255, 0}, false}}) {
        const TBytes jpeg = FlatCmykJpeg({cmyk[0], cmyk[1], cmyk[2], cmyk[3]});
        std::string error;
        const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size(), &error);
        ASSERT_TRUE(decoded) << error;
        for (std::uint8_t v : decoded->Rgb) EXPECT_TRUE(white ? v >= 250 : v <= 5) << int(v);
    }
}

TEST(TileImage, GifTilesAreRecognisedButNeverDecoded) {
    TTempDir dir;
    for (const TBytes& gif : {TBytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, ';'},
                              TBytes{'G', 'I', 'F', '9'}}) {
        const std::string path = WriteFile(dir, "m_5-0-31.gif", gif);
        const TFileTypeResult type = GetTileFileType(path);
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
        if (hugeJpeg[i] == 0xFF && hugeJpeg[i + 1] == 0xC0) {  // SOF0: height and width become 49152
            hugeJpeg[i + 5] = hugeJpeg[i + 7] = 0xC0;
            hugeJpeg[i + 6] = hugeJpeg[i + 8] = 0x00;
            break;
        }
    const std::vector<std::tuple<const char*, TBytes, const char*>> rows = {
        {"truncated PNG", TBytes(png.begin(), png.begin() + long(png.size() / 2)), "PNG"},
        {"truncated JPEG", TBytes(jpg.begin(), jpg.begin() + long(jpg.size() / 2)), "JPG"},
        {"random garbage", garbage, ""},
        {"garbage after PNG signature", pngGarbage, "PNG"},
        {"garbage after JFIF start", jpgGarbage, "JPG"},
        {"PNG claiming 100000 x 100000", PngClaimingSize(100000, 100000), "PNG"},
        {"PNG claiming 4097 x 1", PngClaimingSize(4097, 1), "PNG"},
        {"JPEG claiming 49152 x 49152", hugeJpeg, "JPG"},
        {"lower-case png letters only", {'x', 'p', 'n', 'g', 0, 0, 0, 0, 0, 0}, "PNG"},
        {"empty file", {}, ""},
    };
    for (const auto& [name, bytes, typeName] : rows) {
        std::string error;
        EXPECT_FALSE(DecodeTileFile(WriteFile(dir, "p_9-1-2.gif", bytes), typeName, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
        EXPECT_FALSE(DecodePng(bytes.data(), bytes.size())) << name;
        EXPECT_FALSE(DecodeJpeg(bytes.data(), bytes.size())) << name;
    }
}

TEST(TileImage, UnreadableAndOversizedFilesAreRefused) {
    TTempDir dir;
    const std::string missing = (dir / "m_5-0-0.gif").string();
    EXPECT_FALSE(GetTileFileType(missing).Opened);
    std::string error;
    EXPECT_FALSE(DecodeTileFile(missing, "PNG", &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;

    // A FIFO without a writer would block a plain open for ever.
    const std::string fifo = (dir / "m_5-0-4.gif").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(GetTileFileType(fifo).Opened);
    EXPECT_FALSE(DecodeTileFile(fifo, "PNG", &error));
    EXPECT_FALSE(LoadJpegBitmap(fifo, &error));

    // A sparse file over the limit is refused from its size alone.
    const std::string big = WriteFile(dir, "m_5-0-3.gif", EncodeJpeg(MapLikeBitmap(), 90));
    fs::resize_file(big, MaxTileFileBytes + 1);
    EXPECT_TRUE(GetTileFileType(big).Recognised);
    EXPECT_FALSE(DecodeTileFile(big, "JPG", &error));
    EXPECT_NE(error.find("limit"), std::string::npos) << error;
}

TEST(EncodeJpeg, WritesBaselineJfifWithStandardTablesAtQuality90) {
    const TBitmap source = MapLikeBitmap();
    std::string error;
    const TBytes jpeg = EncodeJpeg(source, 90, &error);
    ASSERT_GT(jpeg.size(), 100u) << error;
    ASSERT_EQ(TBytes(jpeg.begin(), jpeg.begin() + 4), (TBytes{0xFF, 0xD8, 0xFF, 0xE0}));

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
    EXPECT_EQ(in.data_precision, 8);
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
    for (int t = 0; t < 2; ++t) {
        ASSERT_TRUE(in.quant_tbl_ptrs[t]);
        const UINT16* q = in.quant_tbl_ptrs[t]->quantval;
        EXPECT_EQ(std::vector<int>(q, q + 64), std::vector<int>(reference.quant_tbl_ptrs[t]->quantval, reference.quant_tbl_ptrs[t]->quantval + 64)) << t;
    }
    EXPECT_EQ(in.quant_tbl_ptrs[0]->quantval[0], 3);  // 16 at 20%, rounded
    EXPECT_EQ(in.quant_tbl_ptrs[1]->quantval[63], 20);  // 99 at 20%, rounded
    jpeg_destroy_compress(&reference);
    jpeg_destroy_decompress(&in);

    const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->Width, 256);
    EXPECT_EQ(decoded->Height, 256);
    EXPECT_LT(MeanAbsError(*decoded, source), 2.0);
}

TEST(EncodeJpeg, OddSizesRoundTripAndBrokenBitmapsAreRefused) {
    std::mt19937 random(3);
    TBitmap noise(257, 3);
    for (auto& b : noise.Rgb) b = std::uint8_t(random());
    for (const TBitmap& source : {MapLikeBitmap(1, 1), MapLikeBitmap(17, 9), noise}) {
        std::string error;
        const TBytes jpeg = EncodeJpeg(source, 100, &error);
        const auto decoded = DecodeJpeg(jpeg.data(), jpeg.size(), &error);
        ASSERT_TRUE(decoded) << error;
        EXPECT_EQ(decoded->Width, source.Width);
        EXPECT_EQ(decoded->Height, source.Height);
    }
    TBitmap shortPixels(8, 8);
    shortPixels.Rgb.resize(10);
    for (const TBitmap& bad : {TBitmap(), TBitmap(0, 5), shortPixels, TBitmap(70000, 1)}) {
        std::string error;
        EXPECT_TRUE(EncodeJpeg(bad, 90, &error).empty());
        EXPECT_FALSE(error.empty());
    }
}
