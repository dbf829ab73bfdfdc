// The consistency check of a map data file that the CLI's inspect prints:
// keys, zoom range, rectangles, entry count and images, without Qt.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "MapDataFile.h"

struct TMapDataInspection {
    std::map<int, std::int64_t> PerZoom;  // well-formed keys per zoom
    std::array<std::int64_t, MapTypeCount> PerType{};
    std::int64_t EmptyImages = 0;
    std::array<std::int64_t, MapTypeCount> EmptyPerType{};  // blank images: missing or undecodable tiles
    std::vector<std::string> Problems;  // empty for a consistent file
};

// More entries than this cannot fit behind the index of a file whose offsets are int32.
inline constexpr std::int64_t MapDataMaxEntries = (MapDataMaxFileSize - MapDataIndexStart) / MapDataEntrySize;

// Reads every image's first bytes; the header's rectangles are checked before
// anything is counted with them, so a crafted rectangle is named, not summed.
TMapDataInspection InspectMapData(const TMapDataReader& reader);
