// The map data file's records: the tile key and the byte images of the
// header and of an index entry. MapDataWriter.cpp writes the file,
// MapDataReader.cpp reads it.
#include "MapDataFile.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "LittleEndian.h"

std::string_view TMapDataEntry::KeyText() const {
    const auto end = std::find(Key.begin(), Key.end(), '\0');
    return {Key.data(), std::size_t(end - Key.begin())};
}

std::string TileKey(const TTileId& tile) {
    std::string key(MapTypeCode(tile.Type));
    key += '_';
    key += std::to_string(tile.Zoom);
    key += '_';
    key += std::to_string(tile.X);
    key += '_';
    key += std::to_string(tile.Y);
    return key;
}

std::optional<TTileId> ParseTileKey(std::string_view key) {
    const std::optional<TMapType> type = key.empty() ? std::nullopt : ParseMapType(key[0]);
    if (key.size() < 7 || !type || key[1] != '_') return std::nullopt;
    TTileId a;
    a.Type = *type;
    const char* p = key.data() + 2;
    const char* end = key.data() + key.size();
    std::int32_t* fields[3] = {&a.Zoom, &a.X, &a.Y};
    for (int i = 0; i < 3; ++i) {
        if (p == end || *p == '+') return std::nullopt;
        const auto r = std::from_chars(p, end, *fields[i]);
        if (r.ec != std::errc()) return std::nullopt;
        p = r.ptr;
        if (i < 2) {
            if (p == end || *p != '_') return std::nullopt;
            ++p;
        }
    }
    if (p != end || TileKey(a) != key) return std::nullopt;
    return a;
}

std::string PrintableKey(std::string_view key) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(key.size());
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += Hex[b >> 4];
            out += Hex[b & 15];
        }
    }
    return out;
}

std::array<std::uint8_t, MapDataHeaderSize> EncodeMapDataHeader(const TMapDataHeader& h) {
    std::array<std::uint8_t, MapDataHeaderSize> b{};  // reserved bytes stay zero
    std::uint8_t* p = b.data();
    PutInt32(p + 0, h.MinZoom);
    PutInt32(p + 4, h.MaxZoom);
    for (int i = 0; i < MapTypeCount; ++i) p[8 + i] = h.TypeIncluded[i];
    PutReal(p + 16, h.CenterLon);
    PutReal(p + 24, h.CenterLat);
    for (int i = 0; i < MapTypeCount; ++i) {
        PutReal(p + 32 + 16 * i, h.Deltas[i].Lon);
        PutReal(p + 40 + 16 * i, h.Deltas[i].Lat);
    }
    PutInt32(p + 96, h.EntryCount);
    for (int z = 0; z < ZoomTableSize; ++z) {
        const TTileRect& r = h.TileRects[z];
        PutInt32(p + 100 + 16 * z, r.Left);
        PutInt32(p + 104 + 16 * z, r.Top);
        PutInt32(p + 108 + 16 * z, r.Right);
        PutInt32(p + 112 + 16 * z, r.Bottom);
    }
    return b;
}

TMapDataHeader DecodeMapDataHeader(const std::uint8_t* p) {
    TMapDataHeader h;
    h.MinZoom = GetInt32(p + 0);
    h.MaxZoom = GetInt32(p + 4);
    for (int i = 0; i < MapTypeCount; ++i) h.TypeIncluded[i] = p[8 + i];
    h.CenterLon = GetReal(p + 16);
    h.CenterLat = GetReal(p + 24);
    for (int i = 0; i < MapTypeCount; ++i) {
        h.Deltas[i].Lon = GetReal(p + 32 + 16 * i);
        h.Deltas[i].Lat = GetReal(p + 40 + 16 * i);
    }
    h.EntryCount = GetInt32(p + 96);
    for (int z = 0; z < ZoomTableSize; ++z) {
        h.TileRects[z] = {GetInt32(p + 100 + 16 * z), GetInt32(p + 104 + 16 * z), GetInt32(p + 108 + 16 * z),
                          GetInt32(p + 112 + 16 * z)};
    }
    return h;
}

bool EncodeMapDataEntry(std::string_view key, std::int32_t offset, std::uint8_t* out) {
    if (key.size() >= MapDataKeySize) return false;
    std::memset(out, 0, MapDataEntrySize);
    std::memcpy(out, key.data(), key.size());
    PutInt32(out + 28, offset);
    return true;
}

TMapDataEntry DecodeMapDataEntry(const std::uint8_t* bytes) {
    TMapDataEntry e;
    std::memcpy(e.Key.data(), bytes, MapDataKeySize);
    e.Offset = GetInt32(bytes + 28);
    return e;
}
