#include "TileArt.h"

#include <algorithm>

#include <zlib.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "ShiftGrid.h"
#include "TileImage.h"

#include <cmath>

namespace {

constexpr int Side = 256;

struct TGlyph {
    char Ch;
    std::array<std::uint8_t, 7> Rows;  // 5 bits per row, bit 4 is the leftmost column
};

constexpr std::array<TGlyph, 16> Font{{
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}},
    {'p', {0x00, 0x00, 0x1E, 0x11, 0x1E, 0x10, 0x10}},
    {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'y', {0x00, 0x00, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
}};

struct TRgb {
    std::uint8_t R, G, B;
};

struct TPalette {
    TRgb Back, Border, Ink;
};

TPalette PaletteOf(TMapType type) {
    switch (type) {
    case TMapType::Terrain: return {{205, 222, 184}, {90, 120, 60}, {40, 70, 20}};
    case TMapType::Satellite: return {{46, 64, 52}, {200, 200, 120}, {250, 250, 250}};
    case TMapType::SatelliteRoads: return {{52, 52, 86}, {230, 180, 60}, {255, 220, 90}};
    case TMapType::Road: break;
    }
    return {{242, 239, 233}, {170, 120, 90}, {60, 60, 60}};
}

void Put(TBitmap& bmp, int x, int y, TRgb c) {
    if (x < 0 || y < 0 || x >= bmp.Width || y >= bmp.Height) return;
    std::uint8_t* p = bmp.Row(y) + size_t(x) * 3;
    p[0] = c.R;
    p[1] = c.G;
    p[2] = c.B;
}

void FillRect(TBitmap& bmp, int x0, int y0, int w, int h, TRgb c) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) Put(bmp, x, y, c);
}

const TGlyph* FindGlyph(char ch) {
    for (const TGlyph& g : Font)
        if (g.Ch == ch) return &g;
    return nullptr;
}

int TextWidth(std::string_view text, int scale) { return int(text.size()) * 6 * scale - scale; }

void DrawText(TBitmap& bmp, int x0, int y0, std::string_view text, int scale, TRgb ink) {
    int x = x0;
    for (char ch : text) {
        if (const TGlyph* g = FindGlyph(ch)) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->Rows[size_t(row)] & (0x10 >> col)) FillRect(bmp, x + col * scale, y0 + row * scale, scale, scale, ink);
        }
        x += 6 * scale;
    }
}

bool MarkArt = false;

}  // namespace

void SetMarkArt(bool on) { MarkArt = on; }

TBitmap DrawShiftedMarks(const TTileId& tile) {
    TBitmap bmp(Side, Side);
    const double ox = double(tile.X) * Side, oy = double(tile.Y) * Side;
    // The shift hardly changes across a tile: points whose shifted position
    // can reach it lie within a few pixels of the tile moved back by it.
    double dx0, dy0;
    ShiftPixels(tile.Zoom, ox + Side / 2.0, oy + Side / 2.0, dx0, dy0);
    constexpr double Reach = 12.0, Sigma = 1.2;
    const long a0 = long(std::floor((ox - dx0 - Reach - MarkOffsetX) / MarkSpacing));
    const long a1 = long(std::ceil((ox + Side - dx0 + Reach - MarkOffsetX) / MarkSpacing));
    const long b0 = long(std::floor((oy - dy0 - Reach - MarkOffsetY) / MarkSpacing));
    const long b1 = long(std::ceil((oy + Side - dy0 + Reach - MarkOffsetY) / MarkSpacing));
    for (long a = a0; a <= a1; ++a)
        for (long b = b0; b <= b1; ++b) {
            const double gx = double(a) * MarkSpacing + MarkOffsetX, gy = double(b) * MarkSpacing + MarkOffsetY;
            double dx, dy;
            ShiftPixels(tile.Zoom, gx, gy, dx, dy);
            const double cx = gx + dx - ox, cy = gy + dy - oy;  // the mark's centre within the tile
            for (int py = int(cy) - 5; py <= int(cy) + 5; ++py)
                for (int px = int(cx) - 5; px <= int(cx) + 5; ++px) {
                    if (px < 0 || py < 0 || px >= Side || py >= Side) continue;
                    const double r2 = (px + 0.5 - cx) * (px + 0.5 - cx) + (py + 0.5 - cy) * (py + 0.5 - cy);
                    const int ink = int(std::lround(230.0 * std::exp(-r2 / (2 * Sigma * Sigma))));
                    std::uint8_t* p = bmp.Row(py) + size_t(px) * 3;
                    const std::uint8_t v = std::uint8_t(std::min<int>(p[0], 255 - ink));
                    p[0] = p[1] = p[2] = v;
                }
        }
    return bmp;
}

TBitmap DrawTile(const TTileId& tile, int edition) {
    if (MarkArt && (tile.Type == TMapType::Road || tile.Type == TMapType::Terrain)) return DrawShiftedMarks(tile);
    const auto [type, zoom, x, y] = std::tuple(tile.Type, tile.Zoom, tile.X, tile.Y);
    TPalette pal = PaletteOf(type);
    // A checkerboard tint so neighbouring tiles differ even without reading the text.
    if ((x + y) % 2 != 0) {
        pal.Back.R = std::uint8_t(pal.Back.R * 15 / 16);
        pal.Back.G = std::uint8_t(pal.Back.G * 15 / 16);
        pal.Back.B = std::uint8_t(pal.Back.B * 15 / 16);
    }
    TBitmap bmp(Side, Side);
    FillRect(bmp, 0, 0, Side, Side, pal.Back);
    FillRect(bmp, 0, 0, Side, 2, pal.Border);
    FillRect(bmp, 0, Side - 2, Side, 2, pal.Border);
    FillRect(bmp, 0, 0, 2, Side, pal.Border);
    FillRect(bmp, Side - 2, 0, 2, Side, pal.Border);

    const std::string letter(MapTypeCode(type));
    DrawText(bmp, (Side - TextWidth(letter, 10)) / 2, 40, letter, 10, pal.Ink);

    const std::string address = std::to_string(zoom) + "/" + std::to_string(x) + "/" + std::to_string(y);
    int scale = 3;
    while (scale > 1 && TextWidth(address, scale) > Side - 16) --scale;
    DrawText(bmp, (Side - TextWidth(address, scale)) / 2, 170, address, scale, pal.Ink);
    if (edition > 0) FillRect(bmp, 16, 220, std::min(Side - 32, 24 * edition), 12, pal.Ink);
    return bmp;
}

TBytes EncodePngBody(const TBitmap& bitmap) { return EncodePng(bitmap); }

static TBytes JpegBody(const TBitmap& bitmap) { return EncodeJpeg(bitmap, 90); }

TBytes EncodeTileBody(const TTileId& tile, int edition) {
    const TBitmap bmp = DrawTile(tile, edition);
    return tile.Type == TMapType::Satellite ? JpegBody(bmp) : EncodePngBody(bmp);
}

TBytes ExifJpegBody(const TBitmap& bitmap) {
    const TBytes jfif = JpegBody(bitmap);
    // SOI, then APP0 (FF E0, length) which we drop.
    if (jfif.size() < 6 || jfif[2] != 0xFF || jfif[3] != 0xE0) throw std::runtime_error("JPEG without JFIF segment");
    const size_t app0End = 4 + ((size_t(jfif[4]) << 8) | jfif[5]);
    if (app0End > jfif.size()) throw std::runtime_error("JPEG with a broken JFIF segment");
    static constexpr std::uint8_t ExifHead[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x08, 'E', 'x', 'i', 'f', 0x00, 0x00};
    // Sized once and filled in place: GCC 12 misreads an insert after the head as an overflow.
    TBytes out(sizeof ExifHead + (jfif.size() - app0End));
    std::memcpy(out.data(), ExifHead, sizeof ExifHead);
    std::memcpy(out.data() + sizeof ExifHead, jfif.data() + app0End, jfif.size() - app0End);
    return out;
}

TBytes PngClaimingSize(std::uint32_t w, std::uint32_t h) {
    TBytes png = EncodePng(TBitmap(16, 16));
    const auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
    };
    // Width and height of IHDR, then the CRC over "IHDR" and its 13 data bytes.
    put(16, w), put(20, h), put(29, std::uint32_t(crc32(0, png.data() + 12, 17)));
    return png;
}

TBytes SmallGifBody() {
    return {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
            0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
            0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
}

TBytes GzipBody(const TBytes& body) {
    z_stream zs{};
    // 15 + 16: a gzip wrapper rather than zlib's.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    TBytes out(deflateBound(&zs, uLong(body.size())) + 32);
    zs.next_in = const_cast<Bytef*>(body.data());
    zs.avail_in = uInt(body.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    const size_t written = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    out.resize(written);
    return out;
}

TBytes GarbageBody(std::uint32_t seed, std::size_t size) {
    TBytes out(size);
    std::uint32_t s = seed * 2654435761u + 1;
    for (auto& b : out) {
        s = s * 1103515245u + 12345u;
        b = std::uint8_t(s >> 16);
    }
    // Never a signature by accident.
    const char lead[] = "XXXX";
    std::memcpy(out.data(), lead, std::min<std::size_t>(size, 4));
    return out;
}
