// The map data reader on hostile files: open, look keys up, read and decode
// every image, and run the inspect check over the header and index. What
// inspect calls consistent is checked again here by keys made with printf,
// independently of the project's own key code.
#include <cstdio>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "MapDataFile.h"
#include "MapDataInspect.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = fuzz::WriteScratch("map.Dat", data, size);
    TMapDataReader reader;
    if (!reader.Open(file)) {
        fuzz::Require(!reader.IsOpen(), "a failed Open leaves the reader closed");
        return 0;
    }
    const auto& entries = reader.Entries();
    fuzz::Require(entries.size() == std::size_t(reader.Header().EntryCount), "one entry per counted tile");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::int64_t found = reader.FindEntry(entries[i].KeyText());
        fuzz::Require(found >= 0 && entries[std::size_t(found)].KeyText() == entries[i].KeyText(),
                      "every key in the index is found");
        fuzz::Require(reader.ImageSize(i) >= 0, "images never overlap");
        const auto read = reader.ReadTileImage(i);
        const std::optional<TBitmap> bitmap = read ? *read : std::nullopt;
        if (bitmap) fuzz::Require(!bitmap->Empty() && bitmap->Rgb.size() == std::size_t(bitmap->Width) * bitmap->Height * 3,
                                  "a decoded image has its pixels");
    }
    for (const char* key : {"", "m_5_0_0", "s_12_3452_1523", "zzzzzzzzzzzzzzzzzzzzzzzzz"}) {
        const std::int64_t found = reader.FindEntry(key);
        fuzz::Require(found < 0 || entries[std::size_t(found)].KeyText() == key, "FindEntry returns the key asked for");
    }
    (void)reader.ReadTileImage(entries.size());
    const TMapDataInspection report = InspectMapData(reader);
    std::int64_t typed = 0;
    for (const auto n : report.PerType) typed += n;
    fuzz::Require(typed <= std::int64_t(entries.size()) && report.EmptyImages <= std::int64_t(entries.size()),
                  "counts stay within the index");
    for (const std::string& p : report.Problems)
        for (const char c : p) fuzz::Require(c >= 0x20 && c < 0x7F, "problems are printable ASCII, whatever the key bytes");
    if (!report.Problems.empty()) return 0;

    // Consistent: exactly one entry under each planned tile's key, and nothing else.
    std::map<std::string, int> keys;
    for (const auto& e : entries) ++keys[std::string(e.KeyText())];
    const TMapDataHeader& h = reader.Header();
    std::size_t planned = 0;
    for (int t = 0; t < 4; ++t) {
        if (!h.TypeIncluded[std::size_t(t)]) continue;
        for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
            const TTileRect& rc = h.TileRects[std::size_t(z)];
            fuzz::Require(rc.Left <= rc.Right && rc.Top <= rc.Bottom, "a consistent file has valid rectangles");
            for (long long x = rc.Left; x <= rc.Right; ++x) {
                for (long long y = rc.Top; y <= rc.Bottom; ++y) {
                    // Checked as it grows, so a wrong verdict cannot make this loop long.
                    fuzz::Require(++planned <= entries.size(), "a consistent file has an entry per planned tile");
                    char key[64];
                    std::snprintf(key, sizeof key, "%c_%d_%lld_%lld", "mpsy"[t], z, x, y);
                    const auto it = keys.find(key);
                    fuzz::Require(it != keys.end() && it->second == 1,
                                  "a consistent file has exactly one entry under each planned tile's key");
                }
            }
        }
    }
    fuzz::Require(planned == entries.size(), "a consistent file has no entry beyond its planned tiles");
    return 0;
}
