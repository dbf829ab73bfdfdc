// The tile cache: one file per tile address, named "%s_%d-%d-%d.gif" whatever
// the content; the format is found from the content. Tiles of the default
// source lie in the cache directory itself, those of a URL template in a
// subfolder named by the template's SourceDigest, so sources never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

#include "TileSource.h"

struct TTileAddress {
    std::string TypeCode;
    std::int32_t Zoom = 0;
    std::int32_t X = 0;
    std::int32_t Y = 0;
    friend bool operator==(const TTileAddress&, const TTileAddress&) = default;
};

// "s", 12, 3412, 1538 -> "s_12-3412-1538.gif"
std::string TileFileName(std::string_view typeCode, std::int32_t zoom, std::int32_t x, std::int32_t y);

// The one place a tile's cache path is made: workers, the pool, the view and
// the map data writer all ask here. cacheDir may end in a separator or not.
std::string TileCachePath(const std::string& cacheDir, const TServerConfig& server, std::string_view typeCode,
                          std::int32_t zoom, std::int32_t x, std::int32_t y);

// Reads the address back from a path or name; a part that is not an integer reads as 0.
TTileAddress ParseTileFileName(std::string_view path);

// Recognition by the first four bytes: "GIF" (any case) at 0, "PNG" (any case)
// at 1, or FF D8 FF E0. typeName becomes "GIF", "PNG" or "JPG".
bool DetectImageType(const std::uint8_t* data, std::size_t size, std::string& typeName);
// The same on a seekable stream, read from its start; its read position is restored.
bool DetectImageType(std::istream& data, std::string& typeName);

struct TFileTypeResult {
    bool Opened = false;      // false: the file could not be opened (an error, not "unrecognised")
    bool Recognised = false;
    std::string TypeName;     // "GIF", "PNG" or "JPG" when recognised
    std::string Error;        // why the file could not be opened
};
TFileTypeResult GetTileFileType(const std::string& fileName);
