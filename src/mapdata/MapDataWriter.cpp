// The writing side of the map data file: the pool of encoder threads that
// make the cached tiles JPEGs in plan order, and the writer that places them.
#include "MapDataFile.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <sys/stat.h>

#include "AtomicFile.h"
#include "Rectify.h"
#include "TileImage.h"

namespace {

// Tiles between progress calls: often enough for a window to stay responsive,
// rare enough to cost nothing.
constexpr std::int64_t ProgressStep = 32;

// Entries encoded per write of the index.
constexpr std::size_t IndexChunk = 4096;

// A tile made ready for the file: its JPEG, or why its image stays empty.
struct TEncodedTile {
    TTileId Id;
    TMapType Type = TMapType::Road;
    std::optional<std::vector<std::uint8_t>> Jpeg;
    TBlankReason Why = TBlankReason::OutsideGrid;
    TTileDigest Digest{};  // of the cached file, with Jpeg
    std::exception_ptr Error;  // LoadTileJpeg's refusal, rethrown when the writer reaches the tile
};

// sources: the decoded shifted tiles when the tile's type is rectified, else null.
TEncodedTile EncodeTile(const TMapTile& t, const TTileCache& cache, TSourceTiles* sources) {
    TEncodedTile out;
    out.Id = t.Id();
    out.Type = t.Type;
    try {
        // Tiles beyond the edge of the world were never fetched: empty image.
        if (TileInGrid(t.Zoom, t.X, t.Y))
            // A rectified tile left empty names the shifted source at fault.
            out.Jpeg = sources ? RectifiedTileJpeg(*sources, t.Id(), &out.Why, &out.Digest, &out.Id)
                               : LoadTileJpeg(cache, t.Id(), &out.Why, &out.Digest);
    } catch (...) {
        out.Error = std::current_exception();
    }
    return out;
}

// Decodes and re-encodes the tiles of the lists in plan order on a few
// threads. Each thread claims the next tile, but never more than Window tiles
// beyond the one the writer takes next, so memory stays bounded however
// large the plan. With one encoder everything happens inside Take on the
// caller's thread. Destruction stops and joins the threads at once.
class TTileEncoders {
public:
    TTileEncoders(const std::array<std::vector<TMapTile>, MapTypeCount>& lists, const TTileCache& cache, int count,
                  const std::array<bool, MapTypeCount>& rectified)
        : Lists(lists), Cache(cache), Rectified(rectified) {
        for (const auto& list : lists) Total += std::int64_t(list.size());
        if (std::find(rectified.begin(), rectified.end(), true) != rectified.end())
            Sources.emplace(cache, SourceWindow(lists, rectified));
        if (count <= 0) count = int(std::max(1u, std::thread::hardware_concurrency()));
        if (count == 1 || Total < 2) return;
        Window = 4 * RunLength * std::size_t(count);
        Slots.resize(Window);
        Threads.reserve(std::size_t(count));
        try {
            for (int i = 0; i < count; ++i) Threads.emplace_back(&TTileEncoders::Run, this);
        } catch (...) {
            Shutdown();
            throw;
        }
    }
    ~TTileEncoders() { Shutdown(); }
    TTileEncoders(const TTileEncoders&) = delete;
    TTileEncoders& operator=(const TTileEncoders&) = delete;

    // Tile i (0-based, in plan order); calls must come in order.
    TEncodedTile Take(std::int64_t i) {
        TEncodedTile tile;
        if (Threads.empty()) {
            tile = Encode(At(i));
        } else {
            std::unique_lock lock(Lock);
            TSlot& slot = Slots[std::size_t(i) % Window];
            Ready.wait(lock, [&] { return slot.Filled; });
            tile = std::move(slot.Tile);
            slot.Filled = false;
            Taken = i + 1;
            lock.unlock();
            Room.notify_all();
        }
        if (tile.Error) std::rethrow_exception(tile.Error);
        return tile;
    }

private:
    struct TSlot {
        TEncodedTile Tile;
        bool Filled = false;
    };

    TEncodedTile Encode(const TMapTile& t) {
        const bool rectify = Sources && Rectified[MapTypeIndex(t.Type)];
        return EncodeTile(t, Cache, rectify ? &*Sources : nullptr);
    }

    const TMapTile& At(std::int64_t i) const {
        for (const auto& list : Lists) {
            if (i < std::int64_t(list.size())) return list[std::size_t(i)];
            i -= std::int64_t(list.size());
        }
        throw std::out_of_range("tile index");
    }

    void Run() {
        for (;;) {
            std::int64_t first = 0, end = 0;
            {
                std::lock_guard lock(Lock);
                if (Stop || Next >= Total) return;
                first = Next;
                end = Next = std::min(Total, Next + std::int64_t(RunLength));
            }
            for (std::int64_t i = first; i < end; ++i) {
                {
                    std::unique_lock lock(Lock);
                    Room.wait(lock, [&] { return Stop || i < Taken + std::int64_t(Window); });
                    if (Stop) return;
                }
                TEncodedTile tile = Encode(At(i));
                {
                    std::lock_guard lock(Lock);
                    TSlot& slot = Slots[std::size_t(i) % Window];
                    slot.Tile = std::move(tile);
                    slot.Filled = true;
                }
                Ready.notify_one();
            }
        }
    }

    void Shutdown() {
        {
            std::lock_guard lock(Lock);
            Stop = true;
        }
        Room.notify_all();
        for (auto& thread : Threads) thread.join();
        Threads.clear();
    }

    // Tiles a thread claims at once: neighbours in a column share rectified
    // sources, so threads on runs of their own seldom wait for each
    // other's decoding.
    static constexpr std::size_t RunLength = 8;
    const std::array<std::vector<TMapTile>, MapTypeCount>& Lists;
    const TTileCache& Cache;
    std::array<bool, MapTypeCount> Rectified;
    std::optional<TSourceTiles> Sources;  // made only when some type is rectified
    std::int64_t Total = 0;
    std::size_t Window = 0;
    std::mutex Lock;
    std::condition_variable Ready;  // a slot was filled
    std::condition_variable Room;   // the writer took a tile, or Stop
    std::vector<TSlot> Slots;       // tile i in slot i % Window
    std::int64_t Next = 0;          // the next tile to claim
    std::int64_t Taken = 0;         // tiles the writer has taken
    bool Stop = false;
    std::vector<std::thread> Threads;
};

using TTileLists = std::array<std::vector<TMapTile>, MapTypeCount>;

// Refuses what would fail or mislead before anything is created.
void CheckBeforeWriting(const TMapDataHeader& header, std::int64_t total, std::int64_t maxFileSize,
                        const TTileCache& cache) {
    TFault count;
    count.Number = total;
    count.Number2 = header.EntryCount;
    if (total > (maxFileSize - MapDataIndexStart) / MapDataEntrySize) {
        count.Kind = TFaultKind::IndexTooLarge;
        throw TMapDataError(count);
    }
    if (total != header.EntryCount) {
        count.Kind = TFaultKind::CountMismatch;
        throw TMapDataError(count);
    }
    // A cache path that is a file would make every tile look missing.
    struct stat st {};
    if (::stat(cache.Folder().c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        throw TMapDataError(TFault(TFaultKind::CacheNotFolder, cache.Folder()));
}

// The index in plan order, in chunks. Without offsets it is appended with
// offset 0 before the images (and a key that does not fit is refused); with
// them it is written over that provisional index once the images are placed.
void WriteIndex(TAtomicFile& file, const std::string& fileName, const TTileLists& lists,
                const std::vector<std::int32_t>* offsets) {
    std::vector<std::uint8_t> chunk;
    chunk.reserve(IndexChunk * MapDataEntrySize);
    std::int64_t written = 0;
    std::size_t i = 0;
    auto flushChunk = [&] {
        if (offsets)
            file.WriteAt(MapDataIndexStart + written * MapDataEntrySize, chunk.data(), chunk.size());
        else
            file.Write(chunk.data(), chunk.size());
        written += std::int64_t(chunk.size() / MapDataEntrySize);
        chunk.clear();
    };
    for (const auto& list : lists) {
        for (const TMapTile& t : list) {
            const std::string key = TileKey(t.Id());
            chunk.resize(chunk.size() + MapDataEntrySize);
            if (!EncodeMapDataEntry(key, offsets ? (*offsets)[i++] : 0, chunk.data() + chunk.size() - MapDataEntrySize))
                throw TMapDataError(TFault(TFaultKind::KeyTooLong, fileName, 0, key));
            if (chunk.size() == IndexChunk * MapDataEntrySize) flushChunk();
        }
    }
    if (!chunk.empty()) flushChunk();
}

// What the report and the count of identical tiles learn from one tile.
void CountTile(const TEncodedTile& tile, TMapDataWriteReport& report, std::array<TSameTileCounter, MapTypeCount>& same) {
    const std::size_t type = MapTypeIndex(tile.Type);
    if (tile.Jpeg) {
        same[type].Add(tile.Digest);
        return;
    }
    report.Blank[type].Count(tile.Why);
    if (tile.Why == TBlankReason::Unrecognised || tile.Why == TBlankReason::Gif || tile.Why == TBlankReason::Damaged)
        if (std::find(report.Undecodable.begin(), report.Undecodable.end(), tile.Id) == report.Undecodable.end())
            report.Undecodable.push_back(tile.Id);  // rectified tiles can share a source
}

// Appends every tile's image in plan order, counting into report, and
// returns where each begins. Only the offsets are kept; keys are made again
// from the lists, so a large plan costs four bytes per tile here.
std::vector<std::int32_t> WriteImages(TAtomicFile& file, const std::string& fileName, TTileEncoders& encoders,
                                      std::int64_t total, std::int64_t maxFileSize, const TMapDataProgress& progress,
                                      TMapDataWriteReport& report) {
    std::vector<std::int32_t> offsets;
    offsets.reserve(std::size_t(total));
    std::array<TSameTileCounter, MapTypeCount> same;
    for (std::int64_t done = 0; done < total;) {
        const std::int64_t pos = file.Position();
        offsets.push_back(std::int32_t(pos));
        TEncodedTile tile = encoders.Take(done);
        if (tile.Jpeg) {
            if (pos + std::int64_t(tile.Jpeg->size()) > maxFileSize)
                throw TMapDataError(TFault(TFaultKind::FileTooLarge, fileName));
            file.Write(tile.Jpeg->data(), tile.Jpeg->size());
        }
        CountTile(tile, report, same);
        ++done;
        if (progress && (done % ProgressStep == 0 || done == total)) progress(done, total);
    }
    for (std::size_t t = 0; t < same.size(); ++t) report.Same[t] = same[t].Result();
    return offsets;
}

}  // namespace

void TBlankTiles::Count(TBlankReason why) {
    switch (why) {
    case TBlankReason::Missing: ++Missing; break;
    case TBlankReason::Unrecognised: ++Unrecognised; break;
    case TBlankReason::Gif: ++Gif; break;
    case TBlankReason::Damaged: ++Damaged; break;
    case TBlankReason::OutsideGrid: ++OutsideGrid; break;
    }
}

TBlankTiles TMapDataWriteReport::AllBlank() const {
    TBlankTiles all;
    for (const TBlankTiles& b : Blank) {
        all.Missing += b.Missing;
        all.Unrecognised += b.Unrecognised;
        all.Gif += b.Gif;
        all.Damaged += b.Damaged;
        all.OutsideGrid += b.OutsideGrid;
    }
    return all;
}

std::optional<TBlankReason> BlankReasonOf(const TCachedTile& cached, const TTileCache& cache, const TTileId& tile) {
    switch (cached.State) {
        case TTileState::Missing: return TBlankReason::Missing;
        case TTileState::Unreadable: {
            const TReadError& e = cached.Error;
            TFault why(TFaultKind::CannotReadTile, cache.Path(tile), e.Errno, e.Text);
            why.NotRegular = e.NotRegular;
            throw TMapDataError(why);
        }
        case TTileState::Unrecognised: return TBlankReason::Unrecognised;
        case TTileState::Undecodable: return cached.TypeName == "GIF" ? TBlankReason::Gif : TBlankReason::Damaged;
        case TTileState::Decoded: break;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> LoadTileJpeg(const TTileCache& cache, const TTileId& tile, TBlankReason* why,
                                                      TTileDigest* digest) {
    const TCachedTile cached = cache.Load(tile);
    if (const auto blank = BlankReasonOf(cached, cache, tile)) {
        if (why) *why = *blank;
        return std::nullopt;
    }
    if (digest) *digest = cached.Digest;
    try {
        return EncodeJpeg(cached.Picture, 90);
    } catch (const TImageError& e) {
        // A picture that decoded but cannot be encoded means something is
        // broken (memory); an empty image would hide it from the user.
        throw TMapDataError(TFault(TFaultKind::CannotCompressTile, cache.Path(tile), 0, e.what()));
    }
}

TMapDataWriteReport WriteMapData(const std::string& fileName, const TMapDataHeader& header, const TTileLists& lists,
                                 const TTileCache& cache, const TMapDataProgress& progress, std::int64_t maxFileSize,
                                 int encoderCount, bool refuseUndecodable,
                                 const std::array<bool, MapTypeCount>& rectified) {
    maxFileSize = std::min(maxFileSize, MapDataMaxFileSize);
    TMapDataWriteReport report;
    for (const auto& list : lists) report.Tiles += std::int64_t(list.size());
    CheckBeforeWriting(header, report.Tiles, maxFileSize, cache);

    TAtomicFile file(fileName);
    file.Write(MapDataSignature.data(), MapDataSignature.size());
    const auto headerBytes = EncodeMapDataHeader(header);
    file.Write(headerBytes.data(), headerBytes.size());
    WriteIndex(file, fileName, lists, nullptr);
    TTileEncoders encoders(lists, cache, encoderCount, rectified);
    const std::vector<std::int32_t> offsets =
        WriteImages(file, fileName, encoders, report.Tiles, maxFileSize, progress, report);
    WriteIndex(file, fileName, lists, &offsets);
    if (refuseUndecodable && !report.Undecodable.empty()) {
        report.Written = false;  // the temporary file goes with file
        return report;
    }
    file.Commit();
    return report;
}
