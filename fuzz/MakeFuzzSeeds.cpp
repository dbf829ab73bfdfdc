// Writes the small seed corpus of every fuzz target with the project's own
// writers: MakeFuzzSeeds <corpus directory>.
#include <climits>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "MapDataFile.h"
#include "MapParamFile.h"
#include "TileImage.h"

namespace fs = std::filesystem;

namespace {

void Put(const fs::path& file, const void* data, std::size_t size) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(size));
}
void Put(const fs::path& file, const std::string& s) { Put(file, s.data(), s.size()); }

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TBitmap Pattern(int w, int h) {
    TBitmap b(w, h);
    for (std::size_t i = 0; i < b.Rgb.size(); ++i) b.Rgb[i] = std::uint8_t(i * 37);
    return b;
}

// A map data file over the listed tiles, from a cache holding all but `missing` of them.
void MapData(const fs::path& out, const fs::path& cache, TMapDataHeader h,
             const std::array<std::vector<TMapTile>, MapTypeCount>& lists, std::size_t missing) {
    fs::create_directories(cache);
    fs::create_directories(out.parent_path());
    const auto png = EncodePng(Pattern(8, 8));
    std::size_t n = 0;
    for (const auto& list : lists)
        for (const auto& t : list)
            if (n++ != missing)
                Put(cache / TTileCache::TileFileName(t.Id()), png.data(), png.size());
    h.EntryCount = std::int32_t(n);
    WriteMapData(out.string(), h, lists, TTileCache(cache.string(), TServerConfig{}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: MakeFuzzSeeds CORPUS_DIR\n";
        return 2;
    }
    const fs::path root = argv[1];
    const fs::path scratch = fs::temp_directory_path() / "atlas-fuzz-seeds";
    fs::remove_all(scratch);

    const fs::path dat = root / "MapDataReaderFuzz";
    TMapDataHeader one;
    one.MinZoom = one.MaxZoom = 12;
    one.TypeIncluded[0] = 1;
    one.CenterLon = 123.4259;
    one.CenterLat = 41.8123;
    one.TileRects[12] = {3452, 1523, 3453, 1524};
    std::array<std::vector<TMapTile>, MapTypeCount> lists;
    for (int x = 3452; x <= 3453; ++x)
        for (int y = 1523; y <= 1524; ++y) lists[0].push_back({{TMapType::Road, 12, x, y}, false});
    MapData(dat / "one-zoom", scratch / "a", one, lists, 2);

    TMapDataHeader two = one;  // zooms 9 and 10: the index is not in key order
    two.MinZoom = 9;
    two.MaxZoom = 10;
    two.TypeIncluded[2] = 1;
    two.TileRects = {};
    two.TileRects[9] = {431, 190, 431, 190};
    two.TileRects[10] = {863, 381, 863, 381};
    lists = {};
    for (const TMapType type : {TMapType::Road, TMapType::Satellite})
        for (int z = 9; z <= 10; ++z)
            lists[MapTypeIndex(type)].push_back({{type, z, two.TileRects[z].Left, two.TileRects[z].Top}, false});
    MapData(dat / "two-zooms", scratch / "b", two, lists, 99);

    const std::string full = Slurp(dat / "one-zoom");
    Put(dat / "truncated", full.substr(0, 600));
    TMapDataHeader huge = one;  // rectangles whose tile count overflows 64 bits
    huge.TileRects[12] = {INT_MIN, INT_MIN, INT_MAX, INT_MAX};
    const auto hb = EncodeMapDataHeader(huge);
    Put(dat / "huge-rectangle", std::string(MapDataSignature) + std::string(hb.begin(), hb.end()));

    const fs::path par = root / "MapParamFileFuzz";
    TMapParamData p;
    p.CurrentZoom = 12;
    p.MaxZoom = 14;
    p.TileRect = {3440, 1510, 3460, 1530};
    p.CenterLon = 123.4259;
    p.CenterLat = 41.8123;
    p.Included = {true, false, true, false};
    auto pb = EncodeMapParam(p);
    Put(par / "zoom-12", pb.data(), pb.size());
    p.CurrentZoom = p.MaxZoom = 17;
    p.Included = {true, true, true, true};
    p.Reserved.fill(0xA5);
    pb = EncodeMapParam(p);
    Put(par / "zoom-17", pb.data(), pb.size());
    Put(par / "short", pb.data(), pb.size() - 1);

    // Section, key and value end with "\;" (the data provider's string end); the last byte picks the zoom.
    const fs::path ini = root / "SettingsFuzz";
    const std::string settings =
        "[ATLAS_CENTER]\r\nLON_VALUE=123.4259\r\nLAT_VALUE=41.8123\r\n\r\n[ATLAS_DELTA]\r\nLON_M=0.0059448\r\n"
        "LAT_M=0.0026895\r\nLON_S=-0.000202834\r\nLAT_S=0.000290538\r\nLON_VALUE=0.0059448\r\nLAT_VALUE=0.0026895\r\n\r\n"
        "[ATLAS_ZOOM]\r\nFIRST_ZOOM=12\r\n\r\n[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=8080\r\nREFERER=http://127.0.0.1\r\n";
    Put(ini / "full", "ATLAS_DELTA\\;lon_p\\;-0.5\\;" + settings + "\x03");
    Put(ini / "foreign", "Other\\;name\\;  spaced value \\;; comment\n[other]\nname=1\n[ATLAS_ZOOM]\nFIRST_ZOOM=99\n"
                         "[atlas_zoom]\nfirst_zoom=7\n\x09");
    Put(ini / "empty", "ATLAS_ZOOM\\;FIRST_ZOOM\\;9\\;\x04");

    const fs::path img = root / "TileImageFuzz";
    const auto png = EncodePng(Pattern(4, 4));
    Put(img / "rgb.png", png.data(), png.size());
    const auto jpg = EncodeJpeg(Pattern(8, 8));
    Put(img / "rgb.jpg", jpg.data(), jpg.size());
    Put(img / "gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14));

    fs::remove_all(scratch);
    return 0;
}
