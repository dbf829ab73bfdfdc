#include "MapDataInspect.h"

#include <algorithm>
#include <sstream>

namespace {

bool LooksLikeJpeg(const std::vector<std::uint8_t>& b) { return b.size() >= 4 && b[0] == 0xFF && b[1] == 0xD8; }

std::string RectProblem(int zoom, const TTileRect& rc, const char* what) {
    std::ostringstream s;
    s << "zoom " << zoom << ": rectangle (" << rc.Left << ", " << rc.Top << ") .. (" << rc.Right << ", " << rc.Bottom
      << ") " << what;
    return s.str();
}

// "3 keys lie outside the zoom range: a, b, c", with "and 7 more" past the
// names. Keys that may be anything are quoted, so that an empty one shows.
void AddProblem(std::vector<std::string>& problems, const TInspectFindings& found, const char* one, const char* many,
                bool quoted = false) {
    if (found.Count == 0) return;
    const char* quote = quoted ? "'" : "";
    std::string line = std::to_string(found.Count) + " " + (found.Count == 1 ? one : many) + ": ";
    for (std::size_t i = 0; i < found.Names.size(); ++i) line += (i ? ", " : "") + (quote + found.Names[i] + quote);
    if (const std::int64_t more = found.Count - std::int64_t(found.Names.size()); more > 0)
        line += " and " + std::to_string(more) + " more";
    problems.push_back(std::move(line));
}

}  // namespace

void TInspectFindings::Add(std::string name) {
    ++Count;
    if (Names.size() < NameLimit) Names.push_back(std::move(name));
}

namespace {

// What the pass over the entries finds beyond the inspection's own counts.
struct TEntryScan {
    TInspectFindings OtherType, OutsideZooms, OutsideRect, NotJpeg;
    std::int64_t Found = 0;  // tiles of the rectangles and included types that a reader finds
};

// Counts an entry's key against the header; its type index, or -1 for a key that is no tile key.
int ScanKey(const TMapDataReader& reader, std::size_t i, std::vector<bool>& namedRepeated, TMapDataInspection& r,
            TEntryScan& scan) {
    const TMapDataHeader& h = reader.Header();
    const std::string_view key = reader.Entries()[i].KeyText();
    const auto a = ParseTileKey(key);
    if (!a) {
        r.NonCanonicalKeys.Add(PrintableKey(key));
        return -1;
    }
    const int t = int(MapTypeIndex(a->Type));
    ++r.PerZoom[a->Zoom];
    ++r.PerType[std::size_t(t)];
    // The lookup gives a repeated key's first entry: no set of a million strings needed.
    const std::int64_t first = reader.FindEntry(key);
    const bool repeat = first != std::int64_t(i);
    if (repeat && !namedRepeated[std::size_t(first)]) {
        namedRepeated[std::size_t(first)] = true;
        r.RepeatedTiles.Add(std::string(key));
    }
    bool planned = true;
    if (!h.TypeIncluded[std::size_t(t)]) {
        scan.OtherType.Add(std::string(key));
        planned = false;
    }
    if (a->Zoom < h.MinZoom || a->Zoom > h.MaxZoom) {
        scan.OutsideZooms.Add(std::string(key));
        planned = false;
    } else {
        const TTileRect& rc = h.TileRects[std::size_t(a->Zoom)];
        if (a->X < rc.Left || a->X > rc.Right || a->Y < rc.Top || a->Y > rc.Bottom) {
            scan.OutsideRect.Add(std::string(key));
            planned = false;
        }
    }
    if (planned && !repeat) ++scan.Found;
    return t;
}

TEntryScan ScanEntries(const TMapDataReader& reader, TMapDataInspection& r) {
    TEntryScan scan;
    std::array<TSameTileCounter, MapTypeCount> same;
    const std::size_t count = reader.Entries().size();
    std::vector<bool> namedRepeated(count);  // by first entry, so a tile is named once
    for (std::size_t i = 0; i < count; ++i) {
        const int t = ScanKey(reader, i, namedRepeated, r, scan);
        if (reader.ImageSize(i) == 0) {
            ++r.EmptyImages;
            if (t >= 0) ++r.EmptyPerType[std::size_t(t)];
        } else if (const auto bytes = reader.ImageBytes(i); !bytes || !LooksLikeJpeg(*bytes)) {
            scan.NotJpeg.Add(PrintableKey(reader.Entries()[i].KeyText()));
        } else if (t >= 0) {
            same[std::size_t(t)].Add(TileDigest(*bytes));
        }
    }
    for (std::size_t t = 0; t < same.size(); ++t) r.SamePerType[t] = same[t].Result();
    return scan;
}

// The entries the rectangles and included types call for; not Valid when a rectangle is unusable.
struct TExpectedEntries {
    bool Valid = true;
    std::int64_t Count = 0;
    std::vector<std::string> Problems;
};

TExpectedEntries ExpectedEntries(const TMapDataHeader& h) {
    TExpectedEntries e;
    int included = 0;
    for (const auto flag : h.TypeIncluded) included += flag ? 1 : 0;
    // Each count is bounded before it is multiplied or summed: the sum stays far inside int64.
    for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
        const TTileRect& rc = h.TileRects[std::size_t(z)];
        if (rc.Left > rc.Right || rc.Top > rc.Bottom) {
            e.Problems.push_back(RectProblem(z, rc, "is not a valid tile rectangle"));
            e.Valid = false;
        } else if (rc.Width() > MapDataMaxEntries || rc.Height() > MapDataMaxEntries / rc.Width()) {
            e.Problems.push_back(RectProblem(z, rc, "asks for more entries than a map data file holds"));
            e.Valid = false;
        } else {
            e.Count += rc.Count() * included;
        }
    }
    return e;
}

// Every planned tile that is not found is missing; only the first few are
// looked for by name. Each step finds a tile (at most `found` of them) or
// names one, so this ends quickly for any rectangle.
void FindMissingTiles(const TMapDataReader& reader, std::int64_t expected, std::int64_t found, TInspectFindings& missing) {
    const TMapDataHeader& h = reader.Header();
    missing.Count = expected - found;
    const std::size_t names = std::size_t(std::min<std::int64_t>(missing.Count, TInspectFindings::NameLimit));
    for (int t = 0; t < MapTypeCount && missing.Names.size() < names; ++t) {
        if (!h.TypeIncluded[std::size_t(t)]) continue;
        for (int z = h.MinZoom; z <= h.MaxZoom && missing.Names.size() < names; ++z) {
            const TTileRect& rc = h.TileRects[std::size_t(z)];
            for (std::int64_t x = rc.Left; x <= rc.Right && missing.Names.size() < names; ++x) {
                for (std::int64_t y = rc.Top; y <= rc.Bottom && missing.Names.size() < names; ++y) {
                    const std::string key = TileKey({MapTypeAt(std::size_t(t)), z, std::int32_t(x), std::int32_t(y)});
                    if (reader.FindEntry(key) < 0) missing.Names.push_back(key);
                }
            }
        }
    }
}

}  // namespace

TMapDataInspection InspectMapData(const TMapDataReader& reader) {
    TMapDataInspection r;
    const TMapDataHeader& h = reader.Header();
    const TEntryScan scan = ScanEntries(reader, r);
    const TExpectedEntries expected = ExpectedEntries(h);
    if (expected.Valid) FindMissingTiles(reader, expected.Count, scan.Found, r.MissingTiles);

    auto& p = r.Problems;
    AddProblem(p, r.NonCanonicalKeys, "key is not a canonical tile key, so no reader finds its entry",
               "keys are not canonical tile keys, so no reader finds their entries", true);
    AddProblem(p, r.RepeatedTiles, "tile has more than one entry (readers see the first)",
               "tiles have more than one entry (readers see the first)");
    AddProblem(p, scan.OtherType, "key has a type the header does not include",
               "keys have a type the header does not include");
    AddProblem(p, scan.OutsideZooms, "key lies outside the zoom range", "keys lie outside the zoom range");
    AddProblem(p, scan.OutsideRect, "key lies outside its zoom's rectangle", "keys lie outside their zoom's rectangle");
    AddProblem(p, scan.NotJpeg, "entry's image is not a JPEG stream", "entries' images are not JPEG streams", true);
    p.insert(p.end(), expected.Problems.begin(), expected.Problems.end());
    AddProblem(p, r.MissingTiles, "tile of the rectangles is missing (no entry under its key)",
               "tiles of the rectangles are missing (no entry under their keys)");
    if (expected.Valid && expected.Count != h.EntryCount)
        p.push_back("the rectangles and types call for " + std::to_string(expected.Count) + " entries, the header has " +
                    std::to_string(h.EntryCount));
    return r;
}
