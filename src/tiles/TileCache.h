// The tile cache: one file per tile, named "%s_%d-%d-%d.gif" whatever the
// content; the format is found from the content. Tiles of the default
// source lie in the cache directory itself, those of a URL template in a
// subfolder named by the template's SourceDigest, so sources never mix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

#include "AtlasAppType.h"
#include "Bitmap.h"
#include "FileRead.h"
#include "TileDigest.h"
#include "TileSource.h"

// What the cache holds for one tile.
enum class TTileState {
    Missing,       // no file under its name
    Unreadable,    // there, but cannot be opened or is no regular file (Error says why)
    Unrecognised,  // no image signature: a failed answer, fetched again when needed
    Undecodable,   // an image (TypeName) that does not decode: a GIF, damaged or oversized data
    Decoded,
};
struct TCachedTile {
    TTileState State = TTileState::Missing;
    std::string TypeName;  // "GIF", "PNG" or "JPG" once recognised
    TBitmap Picture;       // when Decoded
    TTileDigest Digest{};  // of the file's bytes, when Decoded
    TReadError Error;      // when Unreadable or Undecodable
};

// The tile cache of one source setting. It alone knows where a tile's file
// lies: workers, the pool, the map view and the map data writer all ask it.
// Immutable, so any thread may use it.
class TTileCache {
public:
    // folder may end in a separator or not; server decides which types have
    // a source of their own and so a subfolder.
    TTileCache(std::string folder, const TServerConfig& server);

    // The folder, ending in a separator.
    const std::string& Folder() const { return Dir; }
    std::string Path(const TTileId& tile) const;
    // A file of any kind stands under the tile's name.
    bool IsCached(const TTileId& tile) const;
    // Reads the tile's file once and decodes it when it is an image.
    TCachedTile Load(const TTileId& tile) const;
    // What stands in for a tile not yet fetched: its parent, one zoom out,
    // whose quarter covers it.
    TCachedTile LoadStandIn(const TTileId& tile) const { return Load(tile.Parent()); }

    // {'s', 12, 3412, 1538} -> "s_12-3412-1538.gif"
    static std::string TileFileName(const TTileId& tile);
    // Reads the tile back from a path or name; a part that is not an integer
    // reads as 0, a type part that is not one letter as '?'.
    static TTileId ParseTileFileName(std::string_view path);

private:
    std::string Dir;
    std::array<std::string, MapTypeCount> SourceFolders;  // "" or "DIGEST/" per type
};

// Recognition by the first four bytes: "GIF" (any case) at 0, "PNG" (any case)
// at 1, or FF D8 FF E0. typeName becomes "GIF", "PNG" or "JPG".
bool DetectImageType(const std::uint8_t* data, std::size_t size, std::string& typeName);
// The same on a seekable stream, read from its start; its read position is restored.
bool DetectImageType(std::istream& data, std::string& typeName);

// The real format of a cached file: "GIF", "PNG", "JPG", or "" when not
// recognised; an error when it cannot be opened or is no regular file.
TReadResult<std::string> GetTileFileType(const std::string& fileName);
