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

TMapDataInspection InspectMapData(const TMapDataReader& reader) {
    TMapDataInspection r;
    const TMapDataHeader& h = reader.Header();
    const auto& entries = reader.Entries();
    TInspectFindings otherType, outsideZooms, outsideRect, notJpeg;
    std::array<TSameTileCounter, MapTypeCount> same;
    std::vector<bool> namedRepeated(entries.size());  // by first entry, so a tile is named once
    std::int64_t found = 0;  // tiles of the rectangles and included types that a reader finds
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string_view key = entries[i].KeyText();
        const auto a = ParseTileKey(key);
        int t = -1;
        if (!a) {
            r.NonCanonicalKeys.Add(PrintableKey(key));
        } else {
            t = MapTypeIndex(a->TypeCode);
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
                otherType.Add(std::string(key));
                planned = false;
            }
            if (a->Zoom < h.MinZoom || a->Zoom > h.MaxZoom) {
                outsideZooms.Add(std::string(key));
                planned = false;
            } else {
                const TTileRect& rc = h.TileRects[std::size_t(a->Zoom)];
                if (a->X < rc.Left || a->X > rc.Right || a->Y < rc.Top || a->Y > rc.Bottom) {
                    outsideRect.Add(std::string(key));
                    planned = false;
                }
            }
            if (planned && !repeat) ++found;
        }
        if (reader.ImageSize(i) == 0) {
            ++r.EmptyImages;
            if (t >= 0) ++r.EmptyPerType[std::size_t(t)];
        } else if (const auto bytes = reader.ImageBytes(i); !bytes || !LooksLikeJpeg(*bytes)) {
            notJpeg.Add(PrintableKey(key));
        } else if (t >= 0) {
            same[std::size_t(t)].Add(TileDigest(*bytes));
        }
    }
    for (std::size_t t = 0; t < same.size(); ++t) r.SamePerType[t] = same[t].Result();

    int included = 0;
    for (const auto flag : h.TypeIncluded) included += flag ? 1 : 0;
    // Each count is bounded before it is multiplied or summed: the sum stays far inside int64.
    bool rectsValid = true;
    std::int64_t expected = 0;
    std::vector<std::string> rectProblems;
    for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
        const TTileRect& rc = h.TileRects[std::size_t(z)];
        if (rc.Left > rc.Right || rc.Top > rc.Bottom) {
            rectProblems.push_back(RectProblem(z, rc, "is not a valid tile rectangle"));
            rectsValid = false;
        } else if (rc.Width() > MapDataMaxEntries || rc.Height() > MapDataMaxEntries / rc.Width()) {
            rectProblems.push_back(RectProblem(z, rc, "asks for more entries than a map data file holds"));
            rectsValid = false;
        } else {
            expected += rc.Count() * included;
        }
    }

    if (rectsValid) {
        // Every planned tile that is not found is missing; only the first few
        // are looked for by name. Each step finds a tile (at most `found`
        // of them) or names one, so this ends quickly for any rectangle.
        r.MissingTiles.Count = expected - found;
        const std::size_t names = std::size_t(std::min<std::int64_t>(r.MissingTiles.Count, TInspectFindings::NameLimit));
        for (int t = 0; t < MapTypeCount && r.MissingTiles.Names.size() < names; ++t) {
            if (!h.TypeIncluded[std::size_t(t)]) continue;
            for (int z = h.MinZoom; z <= h.MaxZoom && r.MissingTiles.Names.size() < names; ++z) {
                const TTileRect& rc = h.TileRects[std::size_t(z)];
                for (std::int64_t x = rc.Left; x <= rc.Right && r.MissingTiles.Names.size() < names; ++x) {
                    for (std::int64_t y = rc.Top; y <= rc.Bottom && r.MissingTiles.Names.size() < names; ++y) {
                        const std::string key = TileKey({MapTypes[std::size_t(t)].Code, z, std::int32_t(x), std::int32_t(y)});
                        if (reader.FindEntry(key) < 0) r.MissingTiles.Names.push_back(key);
                    }
                }
            }
        }
    }

    auto& p = r.Problems;
    AddProblem(p, r.NonCanonicalKeys, "key is not a canonical tile key, so no reader finds its entry",
               "keys are not canonical tile keys, so no reader finds their entries", true);
    AddProblem(p, r.RepeatedTiles, "tile has more than one entry (readers see the first)",
               "tiles have more than one entry (readers see the first)");
    AddProblem(p, otherType, "key has a type the header does not include",
               "keys have a type the header does not include");
    AddProblem(p, outsideZooms, "key lies outside the zoom range", "keys lie outside the zoom range");
    AddProblem(p, outsideRect, "key lies outside its zoom's rectangle", "keys lie outside their zoom's rectangle");
    AddProblem(p, notJpeg, "entry's image is not a JPEG stream", "entries' images are not JPEG streams", true);
    p.insert(p.end(), rectProblems.begin(), rectProblems.end());
    AddProblem(p, r.MissingTiles, "tile of the rectangles is missing (no entry under its key)",
               "tiles of the rectangles are missing (no entry under their keys)");
    if (rectsValid && expected != h.EntryCount)
        p.push_back("the rectangles and types call for " + std::to_string(expected) + " entries, the header has " +
                    std::to_string(h.EntryCount));
    return r;
}
