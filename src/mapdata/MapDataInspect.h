// The consistency check of a map data file that the CLI's inspect prints:
// keys, zoom range, rectangles, entry count and images, without Qt. It says
// what a reader will see: a tile is found only under its exact TileKey, and
// a repeated key gives its first entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "MapDataFile.h"

// Findings of one kind: how many, and the first few by name (printable
// text, see PrintableKey), so that a badly damaged file gives a short report.
struct TInspectFindings {
    static constexpr std::size_t NameLimit = 10;
    std::int64_t Count = 0;
    std::vector<std::string> Names;
    void Add(std::string name);
};

struct TMapDataInspection {
    std::map<int, std::int64_t> PerZoom;  // canonical keys per zoom
    std::array<std::int64_t, MapTypeCount> PerType{};
    std::int64_t EmptyImages = 0;
    std::array<std::int64_t, MapTypeCount> EmptyPerType{};  // blank images: missing or undecodable tiles
    // The image most of a type's non-empty images share, byte for byte. Its
    // digest is that of the stored JPEG, not of the downloaded tile.
    std::array<TSameTiles, MapTypeCount> SamePerType{};
    TInspectFindings NonCanonicalKeys;  // entries under a key that is no tile's TileKey: no reader finds them
    TInspectFindings RepeatedTiles;     // tiles with more than one entry: readers see only the first
    TInspectFindings MissingTiles;      // tiles of the rectangles, of included types, that no reader finds
    // One line per kind of fault, printable ASCII; empty for a consistent
    // file, which holds exactly one entry per tile of every rectangle and
    // included type, under that tile's key, and nothing else.
    std::vector<std::string> Problems;
};

// More entries than this cannot fit behind the index of a file whose offsets are int32.
inline constexpr std::int64_t MapDataMaxEntries = (MapDataMaxFileSize - MapDataIndexStart) / MapDataEntrySize;

// Reads every image's first bytes; the header's rectangles are checked before
// anything is counted with them, so a crafted rectangle is named, not summed.
// The search for missing tiles stops once it has their first names, so a huge
// rectangle over a small index costs no more than the index.
TMapDataInspection InspectMapData(const TMapDataReader& reader);
