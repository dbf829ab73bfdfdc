#include "MapDataFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <cstring>
#include <numeric>
#include <sys/stat.h>

#include "AtomicFile.h"
#include "LittleEndian.h"
#include "Rectify.h"
#include "TileImage.h"

namespace {

// Tiles between progress calls: often enough for a window to stay responsive,
// rare enough to cost nothing.
constexpr std::int64_t ProgressStep = 32;

// Entries encoded per write of the final index.
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

}  // namespace

std::string_view TMapDataEntry::KeyText() const {
    const auto end = std::find(Key.begin(), Key.end(), '\0');
    return {Key.data(), std::size_t(end - Key.begin())};
}

std::string TileKey(const TTileId& tile) {
    std::string key(MapTypeCode(tile.Type));
    key += '_';
    key += std::to_string(tile.Zoom);
    key += '_';
    key += std::to_string(tile.X);
    key += '_';
    key += std::to_string(tile.Y);
    return key;
}

std::optional<TTileId> ParseTileKey(std::string_view key) {
    const std::optional<TMapType> type = key.empty() ? std::nullopt : ParseMapType(key[0]);
    if (key.size() < 7 || !type || key[1] != '_') return std::nullopt;
    TTileId a;
    a.Type = *type;
    const char* p = key.data() + 2;
    const char* end = key.data() + key.size();
    std::int32_t* fields[3] = {&a.Zoom, &a.X, &a.Y};
    for (int i = 0; i < 3; ++i) {
        if (p == end || *p == '+') return std::nullopt;
        const auto r = std::from_chars(p, end, *fields[i]);
        if (r.ec != std::errc()) return std::nullopt;
        p = r.ptr;
        if (i < 2) {
            if (p == end || *p != '_') return std::nullopt;
            ++p;
        }
    }
    if (p != end || TileKey(a) != key) return std::nullopt;
    return a;
}

std::string PrintableKey(std::string_view key) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(key.size());
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += Hex[b >> 4];
            out += Hex[b & 15];
        }
    }
    return out;
}

std::array<std::uint8_t, MapDataHeaderSize> EncodeMapDataHeader(const TMapDataHeader& h) {
    std::array<std::uint8_t, MapDataHeaderSize> b{};  // reserved bytes stay zero
    std::uint8_t* p = b.data();
    PutInt32(p + 0, h.MinZoom);
    PutInt32(p + 4, h.MaxZoom);
    for (int i = 0; i < MapTypeCount; ++i) p[8 + i] = h.TypeIncluded[i];
    PutReal(p + 16, h.CenterLon);
    PutReal(p + 24, h.CenterLat);
    for (int i = 0; i < MapTypeCount; ++i) {
        PutReal(p + 32 + 16 * i, h.Deltas[i].Lon);
        PutReal(p + 40 + 16 * i, h.Deltas[i].Lat);
    }
    PutInt32(p + 96, h.EntryCount);
    for (int z = 0; z < ZoomTableSize; ++z) {
        const TTileRect& r = h.TileRects[z];
        PutInt32(p + 100 + 16 * z, r.Left);
        PutInt32(p + 104 + 16 * z, r.Top);
        PutInt32(p + 108 + 16 * z, r.Right);
        PutInt32(p + 112 + 16 * z, r.Bottom);
    }
    return b;
}

TMapDataHeader DecodeMapDataHeader(const std::uint8_t* p) {
    TMapDataHeader h;
    h.MinZoom = GetInt32(p + 0);
    h.MaxZoom = GetInt32(p + 4);
    for (int i = 0; i < MapTypeCount; ++i) h.TypeIncluded[i] = p[8 + i];
    h.CenterLon = GetReal(p + 16);
    h.CenterLat = GetReal(p + 24);
    for (int i = 0; i < MapTypeCount; ++i) {
        h.Deltas[i].Lon = GetReal(p + 32 + 16 * i);
        h.Deltas[i].Lat = GetReal(p + 40 + 16 * i);
    }
    h.EntryCount = GetInt32(p + 96);
    for (int z = 0; z < ZoomTableSize; ++z) {
        h.TileRects[z] = {GetInt32(p + 100 + 16 * z), GetInt32(p + 104 + 16 * z), GetInt32(p + 108 + 16 * z),
                          GetInt32(p + 112 + 16 * z)};
    }
    return h;
}

bool EncodeMapDataEntry(std::string_view key, std::int32_t offset, std::uint8_t* out) {
    if (key.size() >= MapDataKeySize) return false;
    std::memset(out, 0, MapDataEntrySize);
    std::memcpy(out, key.data(), key.size());
    PutInt32(out + 28, offset);
    return true;
}

TMapDataEntry DecodeMapDataEntry(const std::uint8_t* bytes) {
    TMapDataEntry e;
    std::memcpy(e.Key.data(), bytes, MapDataKeySize);
    e.Offset = GetInt32(bytes + 28);
    return e;
}

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

std::optional<std::vector<std::uint8_t>> LoadTileJpeg(const TTileCache& cache, const TTileId& tile, TBlankReason* why,
                                                      TTileDigest* digest) {
    auto blank = [why](TBlankReason reason) -> std::optional<std::vector<std::uint8_t>> {
        if (why) *why = reason;
        return std::nullopt;
    };
    const TCachedTile cached = cache.Load(tile);
    switch (cached.State) {
        case TTileState::Missing: return blank(TBlankReason::Missing);
        case TTileState::Unreadable: {
            const TReadError& e = cached.Error;
            TFault why(TFaultKind::CannotReadTile, cache.Path(tile), e.Errno, e.Text);
            why.NotRegular = e.NotRegular;
            throw TMapDataError(why);
        }
        case TTileState::Unrecognised: return blank(TBlankReason::Unrecognised);
        case TTileState::Undecodable: return blank(cached.TypeName == "GIF" ? TBlankReason::Gif : TBlankReason::Damaged);
        case TTileState::Decoded: break;
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

TMapDataWriteReport WriteMapData(const std::string& fileName, const TMapDataHeader& header,
                  const std::array<std::vector<TMapTile>, MapTypeCount>& lists, const TTileCache& cache,
                  const TMapDataProgress& progress, std::int64_t maxFileSize,
                  int encoderCount, bool refuseUndecodable, const std::array<bool, MapTypeCount>& rectified) {
    maxFileSize = std::min(maxFileSize, MapDataMaxFileSize);
    std::int64_t total = 0;
    for (const auto& list : lists) total += std::int64_t(list.size());
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
    {
        // A cache path that is a file would make every tile look missing.
        struct stat st {};
        if (::stat(cache.Folder().c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            throw TMapDataError(TFault(TFaultKind::CacheNotFolder, cache.Folder()));
    }

    TAtomicFile file(fileName);
    file.Write(MapDataSignature.data(), MapDataSignature.size());
    const auto headerBytes = EncodeMapDataHeader(header);
    file.Write(headerBytes.data(), headerBytes.size());

    // Provisional index: keys with offset 0, patched once the images are placed.
    std::uint8_t entry[MapDataEntrySize];
    for (const auto& list : lists) {
        for (const TMapTile& t : list) {
            const std::string key = TileKey(t.Id());
            if (!EncodeMapDataEntry(key, 0, entry))
                throw TMapDataError(TFault(TFaultKind::KeyTooLong, fileName, 0, key));
            file.Write(entry, sizeof entry);
        }
    }

    // Only the offsets are kept; keys are made again from the lists, so a
    // large plan costs four bytes per tile here.
    std::vector<std::int32_t> offsets;
    offsets.reserve(std::size_t(total));
    TMapDataWriteReport report;
    report.Tiles = total;
    std::array<TSameTileCounter, MapTypeCount> same;
    TTileEncoders encoders(lists, cache, encoderCount, rectified);
    for (std::int64_t done = 0; done < total;) {
        const std::int64_t pos = file.Position();
        offsets.push_back(std::int32_t(pos));
        TEncodedTile tile = encoders.Take(done);
        if (tile.Jpeg) {
            if (pos + std::int64_t(tile.Jpeg->size()) > maxFileSize)
                throw TMapDataError(TFault(TFaultKind::FileTooLarge, fileName));
            file.Write(tile.Jpeg->data(), tile.Jpeg->size());
            same[MapTypeIndex(tile.Type)].Add(tile.Digest);
        } else {
            report.Blank[MapTypeIndex(tile.Type)].Count(tile.Why);
            if (tile.Why == TBlankReason::Unrecognised || tile.Why == TBlankReason::Gif || tile.Why == TBlankReason::Damaged)
                if (std::find(report.Undecodable.begin(), report.Undecodable.end(), tile.Id) == report.Undecodable.end())
                    report.Undecodable.push_back(tile.Id);  // rectified tiles can share a source
        }
        ++done;
        if (progress && (done % ProgressStep == 0 || done == total)) progress(done, total);
    }

    std::vector<std::uint8_t> chunk;
    chunk.reserve(IndexChunk * MapDataEntrySize);
    std::int64_t written = 0;
    std::size_t i = 0;
    auto flushChunk = [&] {
        file.WriteAt(MapDataIndexStart + written * MapDataEntrySize, chunk.data(), chunk.size());
        written += std::int64_t(chunk.size() / MapDataEntrySize);
        chunk.clear();
    };
    for (const auto& list : lists) {
        for (const TMapTile& t : list) {
            chunk.resize(chunk.size() + MapDataEntrySize);
            EncodeMapDataEntry(TileKey(t.Id()), offsets[i++],
                               chunk.data() + chunk.size() - MapDataEntrySize);
            if (chunk.size() == IndexChunk * MapDataEntrySize) flushChunk();
        }
    }
    if (!chunk.empty()) flushChunk();
    for (std::size_t t = 0; t < same.size(); ++t) report.Same[t] = same[t].Result();
    if (refuseUndecodable && !report.Undecodable.empty()) {
        report.Written = false;  // the temporary file goes with file
        return report;
    }
    file.Commit();
    return report;
}

TMapDataReader::~TMapDataReader() { Close(); }

void TMapDataReader::Close() {
    File.reset();
    Size = 0;
    FileHeader = {};
    std::vector<TMapDataEntry>().swap(Index);
    std::vector<std::int32_t>().swap(SortedKeys);
}

TReadStatus TMapDataReader::ReadAt(std::int64_t offset, std::uint8_t* out, std::size_t size) const {
    const auto got = File->ReadAt(offset, out, size);
    if (!got) return got.Error();
    if (*got < size) return ContentError(MapDataForeignText);  // the file shrank since it was opened
    return TReadDone{};
}

TReadStatus TMapDataReader::Open(const std::string& fileName) {
    Close();
    auto file = OpenDocument(fileName, MapDataMissingText, MapDataForeignText);
    if (!file) return file.Error();
    File.emplace(std::move(*file));
    Size = File->Size();
    auto refuse = [this] {
        Close();
        return ContentError(MapDataForeignText);
    };
    auto fail = [this](const TReadStatus& read) {
        Close();
        return read.Error();
    };

    std::uint8_t head[MapDataIndexStart];
    if (Size < MapDataSignatureSize) return refuse();
    if (auto read = ReadAt(0, head, MapDataSignatureSize); !read) return fail(read);
    if (std::memcmp(head, MapDataSignature.data(), MapDataSignatureSize) != 0) return refuse();
    if (Size < MapDataIndexStart) return refuse();
    if (auto read = ReadAt(MapDataSignatureSize, head + MapDataSignatureSize, MapDataHeaderSize); !read)
        return fail(read);
    const TMapDataHeader h = DecodeMapDataHeader(head + MapDataSignatureSize);
    if (h.MinZoom < 0 || h.MaxZoom >= ZoomTableSize || h.MinZoom > h.MaxZoom) return refuse();
    // Checked against the real length before anything is allocated.
    if (h.EntryCount < 0 || MapDataIndexStart + std::int64_t(h.EntryCount) * MapDataEntrySize > Size) return refuse();

    const std::int64_t n = h.EntryCount;
    const std::int64_t imagesStart = MapDataIndexStart + n * MapDataEntrySize;
    std::vector<TMapDataEntry> index;
    index.reserve(std::size_t(n));
    std::vector<std::uint8_t> chunk(IndexChunk * MapDataEntrySize);
    std::int64_t previous = imagesStart;
    for (std::int64_t read = 0; read < n;) {
        const std::int64_t count = std::min<std::int64_t>(n - read, IndexChunk);
        if (auto part = ReadAt(MapDataIndexStart + read * MapDataEntrySize, chunk.data(),
                               std::size_t(count * MapDataEntrySize));
            !part)
            return fail(part);
        for (std::int64_t i = 0; i < count; ++i) {
            TMapDataEntry e = DecodeMapDataEntry(chunk.data() + i * MapDataEntrySize);
            // Whatever follows the terminator means nothing; zeroed, whole fields compare as their keys do.
            std::fill(std::find(e.Key.begin(), e.Key.end(), '\0'), e.Key.end(), '\0');
            if (e.Offset < previous || e.Offset > Size) return refuse();
            previous = e.Offset;
            index.push_back(e);
        }
        read += count;
    }

    // The writer's plan order is mostly key order already (it breaks only
    // where a number gains a digit), so the ascending runs are found and
    // merged pairwise: near linear for our own files, n log n for any other.
    // Stable, so a repeated key finds its first entry.
    std::vector<std::int32_t> sorted(static_cast<std::size_t>(n));
    std::iota(sorted.begin(), sorted.end(), 0);
    auto less = [&](std::int32_t a, std::int32_t b) {
        return std::memcmp(index[std::size_t(a)].Key.data(), index[std::size_t(b)].Key.data(), MapDataKeySize) < 0;
    };
    std::vector<std::size_t> runs{0};
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (less(sorted[i], sorted[i - 1])) runs.push_back(i);
    runs.push_back(sorted.size());
    while (runs.size() > 2) {
        std::vector<std::size_t> merged{0};
        for (std::size_t r = 0; r + 1 < runs.size(); r += 2) {
            if (r + 2 < runs.size())
                std::inplace_merge(sorted.begin() + std::ptrdiff_t(runs[r]), sorted.begin() + std::ptrdiff_t(runs[r + 1]),
                                   sorted.begin() + std::ptrdiff_t(runs[r + 2]), less);
            merged.push_back(runs[std::min(r + 2, runs.size() - 1)]);
        }
        runs = std::move(merged);
    }

    FileHeader = h;
    Index = std::move(index);
    SortedKeys = std::move(sorted);
    return TReadDone{};
}

std::int64_t TMapDataReader::FindEntry(std::string_view key) const {
    // string_view compares with memcmp: ordinal, unsigned bytes.
    const auto it = std::lower_bound(SortedKeys.begin(), SortedKeys.end(), key,
                                     [&](std::int32_t a, std::string_view k) { return Index[a].KeyText() < k; });
    if (it == SortedKeys.end() || Index[*it].KeyText() != key) return -1;
    return *it;
}

std::int64_t TMapDataReader::ImageSize(std::size_t index) const {
    if (index >= Index.size()) return 0;
    const std::int64_t end = index + 1 < Index.size() ? Index[index + 1].Offset : Size;
    return end - Index[index].Offset;
}

TReadResult<std::vector<std::uint8_t>> TMapDataReader::ImageBytes(std::size_t index) const {
    if (!IsOpen() || index >= Index.size()) return ContentError("no such entry");
    const std::int64_t size = ImageSize(index);
    if (size > MaxImageBytes) return ContentError("image of " + std::to_string(size) + " bytes is too large");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (auto read = ReadAt(Index[index].Offset, bytes.data(), bytes.size()); !read) return read.Error();
    return bytes;
}

TReadResult<std::optional<TBitmap>> TMapDataReader::ReadTileImage(std::size_t index) const {
    if (!IsOpen() || index >= Index.size()) return ContentError("no such entry");
    // The decoder stops at the image's end marker, so an over-long span is
    // read only as far as any real tile could reach.
    const std::int64_t size = std::min(ImageSize(index), MaxImageBytes);
    if (size == 0) return std::optional<TBitmap>();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (auto read = ReadAt(Index[index].Offset, bytes.data(), bytes.size()); !read) return read.Error();
    auto picture = DecodeJpeg(bytes.data(), bytes.size());
    if (!picture) return picture.Error();
    return std::optional<TBitmap>(std::move(*picture));
}
