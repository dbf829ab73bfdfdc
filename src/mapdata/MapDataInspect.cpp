#include "MapDataInspect.h"

#include <sstream>

namespace {

bool LooksLikeJpeg(const std::vector<std::uint8_t>& b) { return b.size() >= 4 && b[0] == 0xFF && b[1] == 0xD8; }

std::string RectProblem(int zoom, const TTileRect& rc, const char* what) {
    std::ostringstream s;
    s << "zoom " << zoom << ": rectangle (" << rc.Left << ", " << rc.Top << ") .. (" << rc.Right << ", " << rc.Bottom
      << ") " << what;
    return s.str();
}

}  // namespace

TMapDataInspection InspectMapData(const TMapDataReader& reader) {
    TMapDataInspection r;
    const TMapDataHeader& h = reader.Header();
    const auto& entries = reader.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string key(entries[i].KeyText());
        const auto a = ParseTileKey(key);
        // The lookup gives a repeated key's first entry: no set of a million strings needed.
        if (reader.FindEntry(key) != std::int64_t(i)) r.Problems.push_back("duplicate key " + key);
        if (!a) {
            r.Problems.push_back("entry " + std::to_string(i) + ": malformed key '" + key + "'");
            continue;
        }
        const int t = MapTypeIndex(a->TypeCode);
        ++r.PerZoom[a->Zoom];
        if (t >= 0) {
            ++r.PerType[std::size_t(t)];
            if (!h.TypeIncluded[std::size_t(t)])
                r.Problems.push_back("key " + key + " has a type the header does not include");
        }
        if (a->Zoom < h.MinZoom || a->Zoom > h.MaxZoom) {
            r.Problems.push_back("key " + key + " lies outside the zoom range");
        } else {
            const TTileRect& rc = h.TileRects[std::size_t(a->Zoom)];
            if (a->X < rc.Left || a->X > rc.Right || a->Y < rc.Top || a->Y > rc.Bottom)
                r.Problems.push_back("key " + key + " lies outside its zoom's rectangle");
        }
        if (reader.ImageSize(i) == 0) {
            ++r.EmptyImages;
            if (t >= 0) ++r.EmptyPerType[std::size_t(t)];
        } else if (const auto bytes = reader.ImageBytes(i); !bytes || !LooksLikeJpeg(*bytes)) {
            r.Problems.push_back("key " + key + ": the image is not a JPEG stream");
        }
    }

    int included = 0;
    for (const auto flag : h.TypeIncluded) included += flag ? 1 : 0;
    // Each count is bounded before it is multiplied or summed: the sum stays far inside int64.
    bool rectsValid = true;
    std::int64_t expected = 0;
    for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
        const TTileRect& rc = h.TileRects[std::size_t(z)];
        if (rc.Left > rc.Right || rc.Top > rc.Bottom) {
            r.Problems.push_back(RectProblem(z, rc, "is not a valid tile rectangle"));
            rectsValid = false;
        } else if (rc.Width() > MapDataMaxEntries || rc.Height() > MapDataMaxEntries / rc.Width()) {
            r.Problems.push_back(RectProblem(z, rc, "asks for more entries than a map data file holds"));
            rectsValid = false;
        } else {
            expected += rc.Count() * included;
        }
    }
    if (rectsValid && expected != h.EntryCount)
        r.Problems.push_back("the rectangles and types call for " + std::to_string(expected) +
                             " entries, the header has " + std::to_string(h.EntryCount));
    return r;
}
