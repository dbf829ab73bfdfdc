// The tile cache: one file per tile, named "%s_%d-%d-%d.gif" whatever the
// content; the format is found from the content. Tiles of the default
// source lie in the cache directory itself, those of a URL template in a
// subfolder named by the template's SourceDigest, so sources never mix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AtlasAppType.h"
#include "Bitmap.h"
#include "FileRead.h"
#include "TileDigest.h"
#include "TileFreshness.h"
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

// Whether a planned tile needs asking: Missing (no file), Expired (cached,
// but older than its source allows) or Fresh.
enum class TTileFreshness { Missing, Expired, Fresh };

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
    // Missing, expired or fresh under the source's expiry and the run's
    // refresh choice. A source whose tiles never expire never reads the index.
    TTileFreshness Freshness(const TTileId& tile) const;
    // What the index knows of the tile, or its file time without validators.
    std::optional<TTileRecord> Record(const TTileId& tile) const;
    // After a tile was fetched or found unchanged; written in batches.
    void Remember(const TTileId& tile, TTileRecord record) const;
    // Writes the tile's file in one piece under a temporary name, renamed
    // over the old one, without a sync of its own (WriteWholeFileUnsynced);
    // a folder gone meanwhile is made again. Throws TFileError.
    void Save(const TTileId& tile, const std::vector<std::uint8_t>& body) const;
    // Writes the index and everything the cache's file system holds pending
    // to disk: once when a run's downloads end. A tile saved since the last
    // sync may be torn by a power cut, which is why a cached tile is trusted
    // only once it decodes. False when the sync failed.
    bool Sync() const;
    // Reads the tile's file once and decodes it when it is an image.
    TCachedTile Load(const TTileId& tile) const;
    // What stands in for a tile not yet fetched: its parent, one zoom out,
    // whose quarter covers it.
    TCachedTile LoadStandIn(const TTileId& tile) const { return Load(tile.Parent()); }

    // {TMapType::Satellite, 12, 3412, 1538} -> "s_12-3412-1538.gif"
    static std::string TileFileName(const TTileId& tile);

private:
    // The tile's path below the folder: its name in the index.
    std::string IndexName(const TTileId& tile) const;

    std::string Dir;
    TServerConfig Server;
    std::shared_ptr<TFreshnessStore> Store;
    std::array<std::string, MapTypeCount> SourceFolders;  // "" or "DIGEST/" per type
};

// Recognition by the first four bytes: "GIF" (any case) at 0, "PNG" (any case)
// at 1, or FF D8 FF E0. typeName becomes "GIF", "PNG" or "JPG".
bool DetectImageType(const std::uint8_t* data, std::size_t size, std::string& typeName);

// The real format of a cached file: "GIF", "PNG", "JPG", or "" when not
// recognised; an error when it cannot be opened or is no regular file.
TReadResult<std::string> GetTileFileType(const std::string& fileName);
