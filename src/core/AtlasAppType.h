// Shared vocabulary of the program: the four map types, zoom levels, tile
// addresses and the records that travel between the modules.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A zoom level the user can choose; every zoom of a generation run lies in 5..17.
using TMapZoom = std::uint8_t;
inline constexpr int MinMapZoom = 5;
inline constexpr int MaxMapZoom = 17;
inline constexpr int ZoomTableSize = 18;  // zooms 0..17, indexed by the zoom itself

struct TMapTypeInfo {
    char Code;                   // type code: the lyrs parameter, cache name prefix, key letter
    std::string_view DisplayName;
    char SettingsLetter;         // forms the calibration keys LON_x / LAT_x
};

// Always in this order: road, terrain, satellite, satellite with roads.
inline constexpr int MapTypeCount = 4;
inline constexpr std::array<TMapTypeInfo, MapTypeCount> MapTypes{{
    {'m', "道路交通图", 'M'},
    {'p', "地形地貌图", 'P'},
    {'s', "卫星图象图", 'S'},
    {'y', "卫星道路图", 'Y'},
}};

// Index 0..3 of a type code, or -1 for anything that is not one of the four codes.
constexpr int MapTypeIndex(char code) {
    for (int i = 0; i < MapTypeCount; ++i)
        if (MapTypes[i].Code == code) return i;
    return -1;
}
inline int MapTypeIndex(std::string_view code) {
    return code.size() == 1 ? MapTypeIndex(code[0]) : -1;
}
inline std::string MapTypeCode(int index) { return std::string(1, MapTypes.at(index).Code); }
// The one-letter code of a type code text; '?' (no map type) for any other text.
inline char TypeCodeLetter(std::string_view code) { return code.size() == 1 ? code[0] : '?'; }

// A tile's identity wherever it travels: the plan, the queues, the notices,
// the cache and the map data file all speak of a tile by these four values.
// Spelled type first ({'m', zoom, x, y}); stored type last, so that records
// built on it (a planned tile's done flag) fill its tail instead of growing.
struct TTileId {
    std::int32_t Zoom = 0;
    std::int32_t X = 0;
    std::int32_t Y = 0;
    char TypeCode = 'm';

    constexpr TTileId() = default;
    constexpr TTileId(char typeCode, std::int32_t zoom, std::int32_t x, std::int32_t y)
        : Zoom(zoom), X(x), Y(y), TypeCode(typeCode) {}
    friend auto operator<=>(const TTileId&, const TTileId&) = default;
    std::string_view Type() const { return {&TypeCode, 1}; }
    // The tile one zoom out that covers this one.
    TTileId Parent() const { return {TypeCode, Zoom - 1, X / 2, Y / 2}; }
};

// So that tiles can key unordered containers as they key ordered ones.
template <>
struct std::hash<TTileId> {
    std::size_t operator()(const TTileId& id) const noexcept {
        std::uint64_t h = std::uint64_t(std::uint8_t(id.TypeCode)) << 56 ^ std::uint64_t(std::uint8_t(id.Zoom)) << 48;
        h ^= std::uint64_t(std::uint32_t(id.X)) << 24 ^ std::uint64_t(std::uint32_t(id.Y));
        return std::size_t(h * 0x9E3779B97F4A7C15ull);
    }
};

// One download request of a worker's queue.
struct TMapParam : TTileId {
    std::int32_t RetryCount = 0;
    const TTileId& Id() const { return *this; }
};

// A tile rectangle at one zoom; all four bounds inclusive.
struct TTileRect {
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Right = 0;
    std::int32_t Bottom = 0;
    friend bool operator==(const TTileRect&, const TTileRect&) = default;
    std::int64_t Width() const { return std::int64_t(Right) - Left + 1; }
    std::int64_t Height() const { return std::int64_t(Bottom) - Top + 1; }
    std::int64_t Count() const { return Width() * Height(); }
};

// One planned tile of a generation run. Plans run to millions of tiles: the
// done flag sits in the identity's tail, 16 bytes a tile.
struct TMapTile : TTileId {
    bool Done = false;
    const TTileId& Id() const { return *this; }
};
static_assert(sizeof(TMapTile) == 16, "a planned tile grew");
