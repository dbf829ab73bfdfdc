// The reading side of the map data file: the header and the index checked
// and held, the tiles read on demand.
#include "MapDataFile.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "TileImage.h"

namespace {

// Entries read per read of the index.
constexpr std::size_t IndexChunk = 4096;

bool KeyLess(const TMapDataEntry& a, const TMapDataEntry& b) {
    return std::memcmp(a.Key.data(), b.Key.data(), MapDataKeySize) < 0;
}

// The entries' positions in key order. The writer's plan order is mostly key
// order already (it breaks only where a number gains a digit), so the
// ascending runs are found and merged pairwise: near linear for our own
// files, n log n for any other. Stable, so a repeated key finds its first entry.
std::vector<std::int32_t> MergeSortedRuns(const std::vector<TMapDataEntry>& index) {
    std::vector<std::int32_t> sorted(index.size());
    std::iota(sorted.begin(), sorted.end(), 0);
    auto less = [&](std::int32_t a, std::int32_t b) { return KeyLess(index[std::size_t(a)], index[std::size_t(b)]); };
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
    return sorted;
}

}  // namespace

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

TReadResult<TMapDataHeader> TMapDataReader::ReadHeader() const {
    std::uint8_t head[MapDataIndexStart];
    if (Size < MapDataSignatureSize) return ContentError(MapDataForeignText);
    if (auto read = ReadAt(0, head, MapDataSignatureSize); !read) return read.Error();
    if (std::memcmp(head, MapDataSignature.data(), MapDataSignatureSize) != 0) return ContentError(MapDataForeignText);
    if (Size < MapDataIndexStart) return ContentError(MapDataForeignText);
    if (auto read = ReadAt(MapDataSignatureSize, head + MapDataSignatureSize, MapDataHeaderSize); !read)
        return read.Error();
    const TMapDataHeader h = DecodeMapDataHeader(head + MapDataSignatureSize);
    if (h.MinZoom < 0 || h.MaxZoom >= ZoomTableSize || h.MinZoom > h.MaxZoom) return ContentError(MapDataForeignText);
    // Checked against the real length before anything is allocated.
    if (h.EntryCount < 0 || MapDataIndexStart + std::int64_t(h.EntryCount) * MapDataEntrySize > Size)
        return ContentError(MapDataForeignText);
    return h;
}

TReadResult<std::vector<TMapDataEntry>> TMapDataReader::ReadIndex(std::int64_t n) const {
    std::vector<TMapDataEntry> index;
    index.reserve(std::size_t(n));
    std::vector<std::uint8_t> chunk(IndexChunk * MapDataEntrySize);
    std::int64_t previous = MapDataIndexStart + n * MapDataEntrySize;  // where the images start
    for (std::int64_t read = 0; read < n;) {
        const std::int64_t count = std::min<std::int64_t>(n - read, IndexChunk);
        if (auto part = ReadAt(MapDataIndexStart + read * MapDataEntrySize, chunk.data(),
                               std::size_t(count * MapDataEntrySize));
            !part)
            return part.Error();
        for (std::int64_t i = 0; i < count; ++i) {
            TMapDataEntry e = DecodeMapDataEntry(chunk.data() + i * MapDataEntrySize);
            // Whatever follows the terminator means nothing; zeroed, whole fields compare as their keys do.
            std::fill(std::find(e.Key.begin(), e.Key.end(), '\0'), e.Key.end(), '\0');
            if (e.Offset < previous || e.Offset > Size) return ContentError(MapDataForeignText);
            previous = e.Offset;
            index.push_back(e);
        }
        read += count;
    }
    return index;
}

TReadStatus TMapDataReader::Open(const std::string& fileName) {
    Close();
    auto file = OpenDocument(fileName, MapDataMissingText, MapDataForeignText);
    if (!file) return file.Error();
    File.emplace(std::move(*file));
    Size = File->Size();
    auto header = ReadHeader();
    if (!header) {
        Close();
        return header.Error();
    }
    auto index = ReadIndex(header->EntryCount);
    if (!index) {
        Close();
        return index.Error();
    }
    FileHeader = *header;
    SortedKeys = MergeSortedRuns(*index);
    Index = std::move(*index);
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
