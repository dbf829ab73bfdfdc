// The map parameter file ("*.Map"): the main window's generation parameters
// in 63 fixed bytes, little-endian, without signature or version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "AtlasAppType.h"
#include "FileRead.h"
#include "MapDataError.h"

inline constexpr std::size_t MapParamFileSize = 63;
inline constexpr std::size_t MapParamReservedSize = 19;

inline constexpr const char* MapParamMissingText = "指定的文件不存在.";
inline constexpr const char* MapParamDamagedText = "地图参数文件已损坏。";

struct TMapParamData {
    std::int32_t CurrentZoom = MinMapZoom;
    std::int32_t MaxZoom = MinMapZoom;
    TTileRect TileRect;  // the map view's rectangle when the file was saved
    double CenterLon = 0.0;
    double CenterLat = 0.0;
    // Never interpreted; read from a file and written back unchanged.
    std::array<std::uint8_t, MapParamReservedSize> Reserved{};
    std::array<bool, MapTypeCount> Included{};
};

// Flags are written as 0 or 1; any non-zero flag byte reads as checked.
std::array<std::uint8_t, MapParamFileSize> EncodeMapParam(const TMapParamData& data);
TMapParamData DecodeMapParam(const std::uint8_t* bytes);  // MapParamFileSize bytes

// Replaces the file as a whole or not at all. Throws TMapDataError with the cause.
void SaveMapParamFile(const std::string& fileName, const TMapParamData& data);

// The parameters, or the message to show: MapParamMissingText,
// MapParamDamagedText (shorter than 63 bytes, a zoom outside 5..17 or a centre
// that is not a number), or the system's text for a file that cannot be read.
TReadResult<TMapParamData> LoadMapParamFile(const std::string& fileName);
