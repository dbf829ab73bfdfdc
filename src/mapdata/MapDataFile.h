// The map data file ("*.Dat") the phone application reads: a signature, a
// 392-byte header, one 32-byte index entry per tile and the tiles as JPEG
// images in index order. Little-endian, nothing aligned. The writer and the
// reader run on the caller's thread and touch nothing global. The records
// and keys are coded in MapDataFile.cpp, the file is written in
// MapDataWriter.cpp and read in MapDataReader.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AtlasAppType.h"
#include "Bitmap.h"
#include "FileRead.h"
#include "Geometry.h"
#include "MapDataError.h"
#include "Settings.h"
#include "TileCache.h"
#include "TileDigest.h"

inline constexpr std::string_view MapDataSignature = "ATLAS_POCKET_DATA";
inline constexpr std::int64_t MapDataSignatureSize = 17;
inline constexpr std::int64_t MapDataHeaderSize = 392;
inline constexpr std::int64_t MapDataEntrySize = 32;
inline constexpr std::int64_t MapDataIndexStart = MapDataSignatureSize + MapDataHeaderSize;  // 409
inline constexpr std::size_t MapDataKeySize = 25;
// Offsets are int32, so no byte of the file may lie beyond this.
inline constexpr std::int64_t MapDataMaxFileSize = 0x7FFFFFFF;

inline constexpr const char* MapDataMissingText = "文件不存在。";
inline constexpr const char* MapDataForeignText = "文件不是本程序生成的地图数据文件。";

// The header record. The two reserved fields are not kept: they are written
// as zero and ignored on reading.
struct TMapDataHeader {
    std::int32_t MinZoom = 0;
    std::int32_t MaxZoom = 0;
    std::array<std::uint8_t, MapTypeCount> TypeIncluded{};
    double CenterLon = 0.0;
    double CenterLat = 0.0;
    std::array<TDeltaPair, MapTypeCount> Deltas{};
    std::int32_t EntryCount = 0;
    std::array<TTileRect, ZoomTableSize> TileRects{};
};

// One index entry: the key field exactly as stored (zero-filled) and the
// absolute offset of the tile's image.
struct TMapDataEntry {
    std::array<char, MapDataKeySize> Key{};
    std::int32_t Offset = 0;

    // The characters before the first zero byte, at most 25.
    std::string_view KeyText() const;
};

// "m_12_3452_1523". Negative indices (tiles beyond the edge of the world) keep their sign.
std::string TileKey(const TTileId& tile);
// The tile whose TileKey is exactly this key; nothing for anything else.
// Other spellings of a tile's numbers ("m_05_0_0", "m_5_-0_0") are refused:
// the phone application and the viewer look tiles up by the key text, so a
// tile stored under such a key is one that no reader finds.
std::optional<TTileId> ParseTileKey(std::string_view key);
// The key as text fit for any terminal and for JSON: printable ASCII as it
// stands, a backslash doubled, every other byte as \xHH.
std::string PrintableKey(std::string_view key);

// Byte images of the records.
std::array<std::uint8_t, MapDataHeaderSize> EncodeMapDataHeader(const TMapDataHeader& header);
TMapDataHeader DecodeMapDataHeader(const std::uint8_t* bytes);  // MapDataHeaderSize bytes
// Fails (false) for a key that leaves no room for the terminating zero.
bool EncodeMapDataEntry(std::string_view key, std::int32_t offset, std::uint8_t* out);  // 32 bytes
TMapDataEntry DecodeMapDataEntry(const std::uint8_t* bytes);

// Why a tile of a map data file has an empty image.
enum class TBlankReason { Missing, Unrecognised, Gif, Damaged, OutsideGrid };

// Tiles written as empty images, by reason.
struct TBlankTiles {
    std::int64_t Missing = 0;       // not in the cache
    std::int64_t Unrecognised = 0;  // cached, but neither GIF, PNG nor JFIF
    std::int64_t Gif = 0;           // cached as GIF, which nothing here decodes
    std::int64_t Damaged = 0;       // PNG or JPEG that does not decode
    std::int64_t OutsideGrid = 0;   // beyond the edge of the world, never fetched
    void Count(TBlankReason why);
    std::int64_t Total() const { return Missing + Unrecognised + Gif + Damaged + OutsideGrid; }
    bool operator==(const TBlankTiles&) const = default;
};

// What WriteMapData wrote, for the messages after it.
struct TMapDataWriteReport {
    std::int64_t Tiles = 0;
    std::array<TBlankTiles, MapTypeCount> Blank{};  // per map type
    // Cached files that no longer decode (damaged, GIF, unrecognised), in plan order.
    std::vector<TTileId> Undecodable;
    // Per map type, the cached body most of its written tiles share: many
    // byte-identical tiles (TSameTiles::Many) may be a service's placeholder.
    std::array<TSameTiles, MapTypeCount> Same{};
    // False when the writer refused to write them blank: nothing was written.
    bool Written = true;
    TBlankTiles AllBlank() const;
};

// Why a tile the cache gave has no picture, or nothing when it decoded.
// Throws TMapDataError when the cache entry exists but cannot be read (also
// when it is not a regular file), since writing on would lose that tile.
std::optional<TBlankReason> BlankReasonOf(const TCachedTile& cached, const TTileCache& cache, const TTileId& tile);

// The cached tile re-encoded as JPEG at quality 90, or nothing (with the
// reason in why) when the tile is not in the cache, is of an unrecognised
// format or does not decode. Throws TMapDataError when a cache entry exists
// but cannot be read (also when it is not a regular file), since writing on
// would lose that tile. The cached file is read once; digest receives its
// SHA-256 when a JPEG is returned.
std::optional<std::vector<std::uint8_t>> LoadTileJpeg(const TTileCache& cache, const TTileId& tile,
                                                      TBlankReason* why = nullptr, TTileDigest* digest = nullptr);

// Called with (tiles written, total) every few dozen tiles and at the end, so
// a window can keep painting. It may throw to abandon the writing.
using TMapDataProgress = std::function<void(std::int64_t done, std::int64_t total)>;

// Writes the file: signature, header as given, the index in list order (road,
// terrain, satellite, satellite with roads), then every cached tile as JPEG;
// a tile that cannot be produced gets an empty image. The file appears under
// fileName only when complete; on failure nothing is left behind, an existing
// file is untouched and TMapDataError is thrown. header.EntryCount must equal
// the number of listed tiles. A file that would pass maxFileSize bytes is
// refused: before anything is created when the index alone is too large,
// otherwise as soon as an image would cross it. A smaller limit than the
// format's own only serves tests. Tiles are decoded and re-encoded on
// encoderCount threads (0: one per core; 1: on the calling thread alone) and
// written in plan order; progress is called on the calling thread. With
// refuseUndecodable a cached file that no longer decodes leaves nothing
// written (Written false, the tiles listed) so that the run can fetch them
// again instead of writing them blank. The tiles of a type marked in
// rectified are resampled into true coordinates from the shifted tiles of
// the cache (Rectify.h).
TMapDataWriteReport WriteMapData(const std::string& fileName, const TMapDataHeader& header,
                  const std::array<std::vector<TMapTile>, MapTypeCount>& lists, const TTileCache& cache,
                  const TMapDataProgress& progress = {}, std::int64_t maxFileSize = MapDataMaxFileSize,
                  int encoderCount = 0, bool refuseUndecodable = false,
                  const std::array<bool, MapTypeCount>& rectified = {});

// Read access to a map data file for the viewer and the CLI. Open validates
// the header and the index before anything uses them; the file stays open
// until Close, since images are read on demand.
class TMapDataReader {
public:
    TMapDataReader() = default;
    ~TMapDataReader();
    TMapDataReader(const TMapDataReader&) = delete;
    TMapDataReader& operator=(const TMapDataReader&) = delete;

    // A failure's text is the message to show: MapDataMissingText,
    // MapDataForeignText, or the system's text for a file it cannot open.
    // A failed Open leaves the reader closed.
    TReadStatus Open(const std::string& fileName);
    void Close();
    bool IsOpen() const { return File.has_value(); }

    const TMapDataHeader& Header() const { return FileHeader; }
    // In file order; each key field zero from its first zero byte on.
    const std::vector<TMapDataEntry>& Entries() const { return Index; }
    std::int64_t FileSize() const { return Size; }

    // Position of the entry with this key, or -1. Does not rely on the index
    // being sorted (the writer keeps plan order); a repeated key gives its first entry.
    std::int64_t FindEntry(std::string_view key) const;

    // Bytes from the entry's offset up to the next entry's offset or the end of file.
    std::int64_t ImageSize(std::size_t index) const;
    // The raw image bytes; an error for a bad index, an image over
    // MaxImageBytes or a read failure. An empty image gives an empty vector.
    TReadResult<std::vector<std::uint8_t>> ImageBytes(std::size_t index) const;
    // The decoded tile, or nothing for an empty image (a missing tile); an
    // error when it cannot be read or decoded.
    TReadResult<std::optional<TBitmap>> ReadTileImage(std::size_t index) const;

    // No tile image is anywhere near this; a span beyond it is not read whole.
    static constexpr std::int64_t MaxImageBytes = 64 << 20;

private:
    TReadStatus ReadAt(std::int64_t offset, std::uint8_t* out, std::size_t size) const;
    // The signature and the header, refused unless they fit the file.
    TReadResult<TMapDataHeader> ReadHeader() const;
    // n entries, refused unless their offsets ascend within the file.
    TReadResult<std::vector<TMapDataEntry>> ReadIndex(std::int64_t n) const;

    std::optional<TReadableFile> File;
    std::int64_t Size = 0;
    TMapDataHeader FileHeader;
    std::vector<TMapDataEntry> Index;
    std::vector<std::int32_t> SortedKeys;  // entry positions in key order, for FindEntry
};
