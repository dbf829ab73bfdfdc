#include "TileCache.h"

#include "AtlasAppType.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>

#include <filesystem>

#include "AtomicFile.h"
#include "ProgramPaths.h"
#include "TileImage.h"

namespace {

bool EqualsIgnoreCase(const std::uint8_t* bytes, const char* upper) {
    for (int i = 0; i < 3; ++i) {
        std::uint8_t c = bytes[i];
        if (c >= 'a' && c <= 'z') c = std::uint8_t(c - 'a' + 'A');
        if (c != std::uint8_t(upper[i])) return false;
    }
    return true;
}

}  // namespace

std::string TTileCache::TileFileName(const TTileId& tile) {
    std::string name(MapTypeCode(tile.Type));
    name += '_';
    name += std::to_string(tile.Zoom);
    name += '-';
    name += std::to_string(tile.X);
    name += '-';
    name += std::to_string(tile.Y);
    name += ".gif";
    return name;
}

TTileCache::TTileCache(std::string folder, const TServerConfig& server) : Dir(FolderText(std::move(folder))), Server(server) {
    Store = TFreshnessStore::ForFolder(Dir);
    for (const TMapType type : AllMapTypes)
        if (HasOwnTemplate(server, type)) SourceFolders[MapTypeIndex(type)] = SourceDigest(server.UrlTemplates[MapTypeIndex(type)]) + '/';
}

std::string TTileCache::Path(const TTileId& tile) const {
    return Dir + SourceFolders[MapTypeIndex(tile.Type)] + TileFileName(tile);
}

bool TTileCache::IsCached(const TTileId& tile) const {
    std::error_code ec;
    return std::filesystem::exists(Path(tile), ec);
}

std::string TTileCache::IndexName(const TTileId& tile) const {
    return SourceFolders[MapTypeIndex(tile.Type)] + TileFileName(tile);
}

namespace {

// How long a tile of the type serves after it was fetched; empty: forever.
// MaxAge 0 is handled by the caller (older than the run).
std::optional<std::int64_t> LifetimeMs(const TServerConfig& server, TMapType type, const TTileRecord& record) {
    constexpr std::int64_t DayMs = 86'400'000;
    const TRunRefresh& run = server.RunRefresh;
    if (run.Mode == TRefreshMode::NoRefresh) return std::nullopt;
    if (run.Mode == TRefreshMode::MaxAge) return std::int64_t(run.Days) * DayMs;
    const int days = server.MaxAgeDays[MapTypeIndex(type)];
    if (days >= 0) return days == 0 ? std::nullopt : std::optional(std::int64_t(days) * DayMs);
    if (!HasOwnTemplate(server, type)) return std::nullopt;
    if (record.LifetimeS < 0) return DefaultServerAgeDays * DayMs;
    return std::clamp(record.LifetimeS * 1000, MinServerAgeDays * DayMs, MaxServerAgeDays * DayMs);
}

bool NeverExpires(const TServerConfig& server, TMapType type) {
    const TRunRefresh& run = server.RunRefresh;
    if (run.Mode != TRefreshMode::Settings) return run.Mode == TRefreshMode::NoRefresh;
    const int days = server.MaxAgeDays[MapTypeIndex(type)];
    return days == 0 || (days < 0 && !HasOwnTemplate(server, type));
}

}  // namespace

TTileFreshness TTileCache::Freshness(const TTileId& tile) const {
    const TMapType type = tile.Type;
    if (!IsCached(tile)) return TTileFreshness::Missing;
    if (NeverExpires(Server, type)) return TTileFreshness::Fresh;
    const auto record = Record(tile);
    if (!record) return TTileFreshness::Fresh;  // vanished meanwhile: the next ask finds it missing
    const TRunRefresh& run = Server.RunRefresh;
    if (run.Mode == TRefreshMode::MaxAge && run.Days == 0)
        return record->FetchedMs < run.StartedMs ? TTileFreshness::Expired : TTileFreshness::Fresh;
    const auto lifetime = LifetimeMs(Server, type, *record);
    return lifetime && NowMs() - record->FetchedMs > *lifetime ? TTileFreshness::Expired : TTileFreshness::Fresh;
}

std::optional<TTileRecord> TTileCache::Record(const TTileId& tile) const {
    if (auto found = Store->Find(IndexName(tile))) return found;
    // Cached before the index knew it: fetched at its file time, no validators.
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(Path(tile), ec);
    if (ec) return std::nullopt;
    const auto system = std::filesystem::file_time_type::clock::to_sys(written);
    TTileRecord record;
    record.FetchedMs = std::chrono::duration_cast<std::chrono::milliseconds>(system.time_since_epoch()).count();
    return record;
}

void TTileCache::Remember(const TTileId& tile, TTileRecord record) const {
    Store->Remember(IndexName(tile), std::move(record));
}

void TTileCache::Save(const TTileId& tile, const std::vector<std::uint8_t>& body) const {
    const std::string path = Path(tile);
    try {
        WriteWholeFileUnsynced(path, body.data(), body.size());
    } catch (const TFileError& e) {
        if (e.Errno != ENOENT) throw;
        // Removed behind the program's back: made again, and the tile with it.
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        WriteWholeFileUnsynced(path, body.data(), body.size());
    }
}

bool TTileCache::Sync() const {
    Store->Flush();
    return SyncFileSystem(Dir);
}

TCachedTile TTileCache::Load(const TTileId& tile) const {
    TCachedTile out;
    auto bytes = ReadRegularFile(Path(tile), MaxTileFileBytes);
    if (!bytes) {
        const TReadError& e = bytes.Error();
        // A file too large to be a tile is a content fault, like damaged data.
        out.State = e.Errno == ENOENT ? TTileState::Missing
                  : e.Errno != 0 || e.NotRegular ? TTileState::Unreadable
                  : TTileState::Undecodable;
        out.Error = e;
        if (out.State == TTileState::Undecodable) {
            if (auto type = GetTileFileType(Path(tile)); type && !type->empty()) out.TypeName = *type;
            else out.State = TTileState::Unrecognised;
        }
        return out;
    }
    if (!DetectImageType(bytes->data(), bytes->size(), out.TypeName)) {
        out.State = TTileState::Unrecognised;
        return out;
    }
    auto picture = DecodeTileBytes(*bytes, out.TypeName);
    if (!picture) {
        out.State = TTileState::Undecodable;
        out.Error = picture.Error();
        return out;
    }
    out.State = TTileState::Decoded;
    out.Picture = std::move(*picture);
    out.Digest = TileDigest(*bytes);
    return out;
}

bool DetectImageType(const std::uint8_t* data, std::size_t size, std::string& typeName) {
    if (data == nullptr || size < 4) return false;
    if (EqualsIgnoreCase(data, "GIF")) {
        typeName = "GIF";
        return true;
    }
    if (EqualsIgnoreCase(data + 1, "PNG")) {
        typeName = "PNG";
        return true;
    }
    if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF && data[3] == 0xE0) {
        typeName = "JPG";
        return true;
    }
    return false;
}

TReadResult<std::string> GetTileFileType(const std::string& fileName) {
    auto file = TReadableFile::Open(fileName);
    if (!file) return file.Error();
    std::uint8_t head[4] = {};
    const auto got = file->ReadAt(0, head, sizeof head);
    if (!got) return TReadError{got.Error().Errno, false, fileName + ": " + got.Error().Text};
    std::string typeName;
    DetectImageType(head, *got, typeName);
    return typeName;
}
