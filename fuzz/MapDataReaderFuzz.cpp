// The map data reader on hostile files: open, look keys up, read and decode
// every image, and run the inspect check over the header and index.
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
    return 0;
}
