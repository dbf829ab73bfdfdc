// Shared vocabulary of the program: the four map types, zoom levels, tile
// addresses and the records that travel between the modules.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A zoom level the user can choose; every zoom of a generation run lies in 5..17.
using TMapZoom = std::uint8_t;
inline constexpr int MinMapZoom = 5;
inline constexpr int MaxMapZoom = 17;
inline constexpr int ZoomTableSize = 18;  // zooms 0..17, indexed by the zoom itself

// The four map types, always in this order: road, terrain, satellite,
// satellite with roads. The order is that of the window's controls, of the
// per-type arrays and of the files' per-type fields.
enum class TMapType : std::uint8_t { Road, Terrain, Satellite, SatelliteRoads };

struct TMapTypeInfo {
    TMapType Type;
    std::string_view Code;       // type code: the lyrs parameter, cache name prefix, key letter
    std::string_view DisplayName;  // what the window calls it
    std::string_view EnglishName;  // what the command line calls it
    char SettingsLetter;         // forms the calibration keys LON_x / LAT_x
};

// One row per type, in the enum's order; everything else about a type is derived from here.
inline constexpr std::array MapTypeTable{
    TMapTypeInfo{TMapType::Road, "m", "道路交通图", "road", 'M'},
    TMapTypeInfo{TMapType::Terrain, "p", "地形地貌图", "terrain", 'P'},
    TMapTypeInfo{TMapType::Satellite, "s", "卫星图象图", "satellite", 'S'},
    TMapTypeInfo{TMapType::SatelliteRoads, "y", "卫星道路图", "satellite with roads", 'Y'},
};
inline constexpr int MapTypeCount = int(MapTypeTable.size());

// The position of a type in per-type arrays and among the window's controls.
constexpr std::size_t MapTypeIndex(TMapType type) { return std::size_t(type); }
// The type at a position 0..MapTypeCount-1 of per-type arrays or controls.
constexpr TMapType MapTypeAt(std::size_t index) { return MapTypeTable.at(index).Type; }
constexpr std::string_view MapTypeCode(TMapType type) { return MapTypeTable[MapTypeIndex(type)].Code; }
constexpr std::string_view MapTypeName(TMapType type) { return MapTypeTable[MapTypeIndex(type)].DisplayName; }
constexpr std::string_view MapTypeEnglishName(TMapType type) { return MapTypeTable[MapTypeIndex(type)].EnglishName; }
constexpr char MapTypeSettingsLetter(TMapType type) { return MapTypeTable[MapTypeIndex(type)].SettingsLetter; }

inline constexpr std::array<TMapType, MapTypeCount> AllMapTypes = [] {
    std::array<TMapType, MapTypeCount> all{};
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = MapTypeTable[i].Type;
    return all;
}();

// The type of a type code; nothing for any text that is not one of the codes.
constexpr std::optional<TMapType> ParseMapType(std::string_view code) {
    for (const TMapTypeInfo& info : MapTypeTable)
        if (info.Code == code) return info.Type;
    return std::nullopt;
}
constexpr std::optional<TMapType> ParseMapType(char code) { return ParseMapType(std::string_view(&code, 1)); }

constexpr bool MapTypeTableInOrder() {
    for (std::size_t i = 0; i < MapTypeTable.size(); ++i)
        if (MapTypeIndex(MapTypeTable[i].Type) != i || MapTypeTable[i].Code.size() != 1) return false;
    // Tiles sort by type in code order wherever files or listings depend on it.
    for (std::size_t i = 1; i < MapTypeTable.size(); ++i)
        if (MapTypeTable[i - 1].Code >= MapTypeTable[i].Code) return false;
    return true;
}
static_assert(MapTypeTableInOrder(), "map type rows out of the enum's order, or codes out of order");

// A tile's identity wherever it travels: the plan, the queues, the notices,
// the cache and the map data file all speak of a tile by these four values.
// Spelled type first ({TMapType::Road, zoom, x, y}); stored type last, so that
// records built on it (a planned tile's done flag) fill its tail instead of growing.
struct TTileId {
    std::int32_t Zoom = 0;
    std::int32_t X = 0;
    std::int32_t Y = 0;
    TMapType Type = TMapType::Road;

    constexpr TTileId() = default;
    constexpr TTileId(TMapType type, std::int32_t zoom, std::int32_t x, std::int32_t y)
        : Zoom(zoom), X(x), Y(y), Type(type) {}
    friend auto operator<=>(const TTileId&, const TTileId&) = default;
    // The tile one zoom out that covers this one.
    TTileId Parent() const { return {Type, Zoom - 1, X / 2, Y / 2}; }
};

// So that tiles can key unordered containers as they key ordered ones.
template <>
struct std::hash<TTileId> {
    std::size_t operator()(const TTileId& id) const noexcept {
        std::uint64_t h = std::uint64_t(std::uint8_t(MapTypeCode(id.Type)[0])) << 56 ^ std::uint64_t(std::uint8_t(id.Zoom)) << 48;
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
