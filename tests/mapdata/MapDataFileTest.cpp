#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sys/stat.h>

#include "GenerationPlan.h"
#include "LittleEndian.h"
#include "MapDataFile.h"
#include "MapDataInspect.h"
#include "TileDigest.h"
#include "MapdataTestSupport.h"
#include "TileCache.h"
#include "TileImage.h"

namespace {

constexpr TDeltaPair ZeroPair{0.0, 0.0};

// A planned run with its snapshot header, as the main window would hold it.
struct TRun {
    TGenerationPlan Plan;
    TMapDataHeader Header;
    TRun(int cur, int max, std::array<bool, 4> included) {
        const TGenerationParams p{123.4259, 41.8123, cur, max, included};
        Header = SnapshotHeader(p, {{{0.0059448, 0.0026895}, {0.5, -0.25}, {-0.000202834, 0.000290538}, {1e-9, -7.5}}});
        Plan.Build(p, ZeroPair, Header);
    }
};

std::string CachePath(const TTempDir& cache, const TMapTile& t) {
    return cache / TTileCache::TileFileName(t.Id());
}

// The first frame marker of a JPEG stream: 0xC0 baseline, 0xC1 extended, 0xC2 progressive.
int FrameMarker(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 2; i + 4 <= n && p[i] == 0xFF; i += 2 + (std::size_t(p[i + 2]) << 8 | p[i + 3]))
        if (p[i + 1] >= 0xC0 && p[i + 1] <= 0xC2) return p[i + 1];
    return 0;
}

TEST(MapDataKey, FormatParseAndEntryLimits) {
    EXPECT_EQ(TileKey({TMapType::Satellite, 5, -2, 0}), "s_5_-2_0");
    EXPECT_EQ(*ParseTileKey("y_17_104857_51234"), (TTileId{TMapType::SatelliteRoads, 17, 104857, 51234}));
    EXPECT_EQ(*ParseTileKey("s_5_-2_0"), (TTileId{TMapType::Satellite, 5, -2, 0}));
    // Other spellings of a tile's numbers are no tile's key: readers look keys up by their text.
    for (const char* bad : {"", "x_1_2_3", "m_1_2", "m_1_2_3_", "m__2_3", "m_1_2_+3", "mm_1_2_3", "m_1_2_99999999999",
                            "m_05_0_0", "m_5_-0_0", "m_5_0_00", "m_5_0_-0", "m_5_007_1"})
        EXPECT_FALSE(ParseTileKey(bad)) << bad;
    EXPECT_EQ(PrintableKey("m_5\\_\xff\x01\x7f'"), "m_5\\\\_\\xFF\\x01\\x7F'");

    std::uint8_t e[32];
    EXPECT_TRUE(EncodeMapDataEntry(std::string(24, 'k'), 0, e));
    EXPECT_FALSE(EncodeMapDataEntry(std::string(25, 'k'), 0, e));  // no room for the terminator
    std::memset(e, 'z', 25);  // a full field without terminator reads as 25 characters
    EXPECT_EQ(DecodeMapDataEntry(e).KeyText().size(), 25u);
}

// The writer over a cache with PNG and JPEG tiles, one missing tile and one
// GIF tile; also the fixture of the reader tests.
class MapDataWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int t : {0, 2}) {  // road tiles as PNG, satellite tiles as JPEG
            const auto& list = Run.Plan.List(MapTypeAt(t));
            for (std::size_t i = 0; i < list.size(); ++i) {
                const TMapTile& tile = list[i];
                if (t == 0 && i == GifRoad)
                    WriteBytes(CachePath(Cache, tile), {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'});
                if (t == 0 ? i == MissingRoad || i == GifRoad : i + 1 == list.size()) continue;  // last satellite missing
                const TBitmap picture = MakeTilePicture(int(100 * t + i));
                Sources[TileKey(tile.Id())] = picture;
                WriteBytes(CachePath(Cache, tile), t == 0 ? PngBytes(picture) : JpegBytes(picture));
            }
        }
    }

    TMapDataWriteReport Write(const TMapDataProgress& progress = {}, int encoders = 0) {
        return WriteMapData(Target, Run.Header, Run.Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{}), progress,
                            MapDataMaxFileSize,
                            encoders);
    }

    static constexpr std::size_t MissingRoad = 3;
    static constexpr std::size_t GifRoad = 7;
    TRun Run{10, 10, {true, false, true, false}};
    TTempDir Cache;
    TTempDir Out;
    std::string Target = Out / "map.Dat";
    std::map<std::string, TBitmap> Sources;
};

TEST_F(MapDataWriterTest, FileLayoutFieldByFieldAndReadBack) {
    std::pair<std::int64_t, std::int64_t> lastCall;
    Write([&](std::int64_t done, std::int64_t total) { lastCall = {done, total}; });
    const auto f = ReadBytes(Target);
    const std::int64_t n = 50;
    ASSERT_EQ(Run.Header.EntryCount, n);
    ASSERT_GT(f.size(), std::size_t(409 + 32 * n));

    EXPECT_EQ(std::string(f.begin(), f.begin() + 17), "ATLAS_POCKET_DATA");
    EXPECT_EQ(std::make_pair(GetInt32(&f[17]), GetInt32(&f[21])), std::make_pair(10, 10));
    EXPECT_EQ((std::vector<int>{f[25], f[26], f[27], f[28]}), (std::vector<int>{1, 0, 1, 0}));
    for (int i : {29, 30, 31, 32, 405, 406, 407, 408}) EXPECT_EQ(f[i], 0) << i;
    EXPECT_EQ(GetReal(&f[33]), 123.4259);
    EXPECT_EQ(GetReal(&f[41]), 41.8123);
    EXPECT_EQ(GetReal(&f[49]), 0.0059448);
    EXPECT_EQ(GetReal(&f[73]), -0.25);
    EXPECT_EQ(GetReal(&f[105]), -7.5);
    EXPECT_EQ(GetInt32(&f[113]), n);
    for (int z = 0; z < 18; ++z) {
        const std::uint8_t* r = &f[117 + 16 * z];
        EXPECT_EQ((TTileRect{GetInt32(r), GetInt32(r + 4), GetInt32(r + 8), GetInt32(r + 12)}),
                  z == 10 ? Run.Header.TileRects[10] : TTileRect{}) << z;
    }

    // The reader gives back the header and the images; an empty image is a missing tile, not an error.
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(Target)), "");
    EXPECT_EQ(EncodeMapDataHeader(reader.Header()), EncodeMapDataHeader(Run.Header));
    ASSERT_EQ(reader.Entries().size(), std::size_t(n));
    // Index in plan order (road, then satellite), keys zero-filled; images back to back, the last ending the file.
    std::int64_t i = 0;
    for (int t = 0; t < 4; ++t)
        for (const TMapTile& tile : Run.Plan.List(MapTypeAt(t))) {
            const std::string key = TileKey(tile.Id());
            SCOPED_TRACE(key);
            const std::uint8_t* e = &f[409 + 32 * i];
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(e)), key);
            for (std::size_t k = key.size(); k < 28; ++k) ASSERT_EQ(e[k], 0) << k;
            const std::int64_t offset = GetInt32(e + 28), end = i + 1 < n ? GetInt32(e + 32 + 28) : std::int64_t(f.size());
            EXPECT_TRUE(i > 0 || offset == 409 + 32 * n) << offset;  // the first image right after the index
            ASSERT_LE(offset, end);
            const bool expectEmpty = !Sources.count(key);  // the missing and the GIF tiles
            ASSERT_EQ(offset == end, expectEmpty);
            const auto read = reader.ReadTileImage(std::size_t(i++));
            ASSERT_TRUE(read) << read.Error().Text;  // an empty image is no error
            const std::optional<TBitmap>& bmp = *read;
            ASSERT_EQ(bool(bmp), !expectEmpty);
            if (expectEmpty) continue;
            const std::uint8_t* img = &f[offset];
            ASSERT_EQ((std::vector<int>{img[0], img[1], img[end - offset - 2], img[end - offset - 1]}),
                      (std::vector<int>{0xFF, 0xD8, 0xFF, 0xD9}));  // each image ends where the next begins
            EXPECT_EQ(FrameMarker(img, std::size_t(end - offset)), 0xC0);
            EXPECT_EQ(std::make_pair(bmp->Width, bmp->Height), std::make_pair(256, 256));
            EXPECT_LT(MeanDifference(*bmp, Sources.at(key)), 6.0);
        }
    ASSERT_EQ(i, n);
    EXPECT_FALSE(reader.ReadTileImage(std::size_t(n)));
    EXPECT_EQ(lastCall, std::make_pair(n, n));
}

// One picture served for many tiles (a ban or "no data" picture) shows in the
// writer's report with the digest of the cached body, and in inspect per type.
TEST_F(MapDataWriterTest, ReportsManyByteIdenticalTiles) {
    const auto placeholder = PngBytes(MakeTilePicture(999));
    const auto& roads = Run.Plan.List(TMapType::Road);
    int same = 0;
    for (std::size_t i = 0; same < 12; ++i)
        if (i != MissingRoad && i != GifRoad) {
            WriteBytes(CachePath(Cache, roads[i]), placeholder);
            ++same;
        }
    const TMapDataWriteReport report = Write();
    EXPECT_EQ(report.Same[0], (TSameTiles{12, 23, DigestHex(TileDigest(placeholder))}));
    EXPECT_TRUE(report.Same[0].Many());
    EXPECT_EQ(report.Same[2].Count, 1);
    EXPECT_FALSE(report.Same[2].Many());
    EXPECT_EQ(report.Same[1], TSameTiles{});

    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(Target)), "");
    const TMapDataInspection inspection = InspectMapData(reader);
    EXPECT_EQ(inspection.SamePerType[0].Count, 12);
    EXPECT_EQ(inspection.SamePerType[0].Tiles, 23);
    EXPECT_FALSE(inspection.SamePerType[2].Many());
    EXPECT_TRUE(inspection.Problems.empty());  // worth a word, but no fault of the file

    // At least ten tiles and a tenth of the type's.
    EXPECT_FALSE((TSameTiles{9, 9, "x"}.Many()));
    EXPECT_TRUE((TSameTiles{10, 100, "x"}.Many()));
    EXPECT_FALSE((TSameTiles{10, 101, "x"}.Many()));
}

// However many threads encode, the file and the report are those of the single-threaded writer.
TEST_F(MapDataWriterTest, EncoderCountChangesNoByte) {
    const TMapDataWriteReport single = Write({}, 1);
    const auto expected = ReadBytes(Target);
    EXPECT_EQ(single.AllBlank().Missing, 2);
    EXPECT_EQ(single.AllBlank().Gif, 1);
    for (int encoders : {2, 3, 8}) {
        SCOPED_TRACE(encoders);
        std::vector<std::int64_t> calls;
        const TMapDataWriteReport report = Write([&](std::int64_t done, std::int64_t) { calls.push_back(done); }, encoders);
        EXPECT_EQ(ReadBytes(Target), expected);
        EXPECT_EQ(report.Blank, single.Blank);
        EXPECT_EQ(report.Same, single.Same);
        EXPECT_EQ(calls, (std::vector<std::int64_t>{32, 50}));
    }
}

TEST_F(MapDataWriterTest, ReplacesAnExistingFileOnlyOnSuccess) {
    const std::vector<std::uint8_t> old{'o', 'l', 'd'};
    WriteBytes(Target, old);
    Write();
    EXPECT_GT(ReadBytes(Target).size(), 409u);
    EXPECT_EQ(DirectoryNames(Out.Path()), std::vector<std::string>{"map.Dat"});

    WriteBytes(Target, old);
    // A tile that cannot be read (a FIFO, which must not hang the writer) fails the run; a cancelling progress callback too.
    const std::string victim = CachePath(Cache, Run.Plan.List(TMapType::Satellite)[5]);
    std::filesystem::remove(victim);
    ASSERT_EQ(::mkfifo(victim.c_str(), 0600), 0);
    EXPECT_THROW(Write(), TMapDataError);
    std::filesystem::remove(victim);
    EXPECT_THROW(Write([](std::int64_t, std::int64_t) { throw TMapDataError("cancelled"); }), TMapDataError);
    EXPECT_EQ(ReadBytes(Target), old);
    EXPECT_EQ(DirectoryNames(Out.Path()), std::vector<std::string>{"map.Dat"});
}

TEST_F(MapDataWriterTest, BadTargetsHeadersAndSizesAreRefusedLeavingNothing) {
    EXPECT_THROW(WriteMapData(Out / "no-such-dir/map.Dat", Run.Header, Run.Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{})),
                 TMapDataError);
    TMapDataHeader wrong = Run.Header;  // disagrees with the lists: a corrupt index
    wrong.EntryCount = 49;
    EXPECT_THROW(WriteMapData(Target, wrong, Run.Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{})), TMapDataError);

    // The size limit (2^31 - 1 in use): the index alone over it, then images crossing it.
    const std::int64_t indexEnd = 409 + 32 * 50;
    EXPECT_THROW(WriteMapData(Target, Run.Header, Run.Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{}), {}, indexEnd - 1),
                 TMapDataError);
    try {
        WriteMapData(Target, Run.Header, Run.Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{}), {}, indexEnd + 1000);
        FAIL();
    } catch (const TMapDataError& e) {
        EXPECT_NE(std::string(e.what()).find("2 GB"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(DirectoryNames(Out.Path()).empty());
    // An index of exactly the limit with empty images fits.
    TTempDir emptyCache;
    WriteMapData(Target, Run.Header, Run.Plan.AllLists(), TTileCache(emptyCache.DirString(), TServerConfig{}), {}, indexEnd);
    EXPECT_EQ(ReadBytes(Target).size(), std::size_t(indexEnd));
}

TEST(MapDataReader, FindsEveryKeyAcrossDigitCountChanges) {
    // Zoom 9 keys come before zoom 10 keys in plan order but after them in
    // key order; the lookup must not depend on either.
    TRun run(9, 10, {true, false, false, true});
    TTempDir dir;
    WriteMapData(dir / "a.Dat", run.Header, run.Plan.AllLists(), TTileCache(dir / "empty-cache", TServerConfig{}));
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(dir / "a.Dat")), "");
    ASSERT_EQ(reader.Entries().size(), std::size_t(run.Header.EntryCount));
    for (std::size_t i = 0; i < reader.Entries().size(); ++i)
        ASSERT_EQ(reader.FindEntry(reader.Entries()[i].KeyText()), std::int64_t(i)) << i;
    EXPECT_EQ(reader.FindEntry("p_9_1_1"), -1);
}

// A foreign index in no order, with a repeated key and bytes after a terminator.
TEST(MapDataReader, FindsTheFirstOfARepeatedKeyInAnyOrder) {
    const std::vector<std::string> keys{"m_10_9_1", "y_5_1_1", "m_10_10_1", "m_9_5_5", "m_10_9_1", "a", "m_10_9_1"};
    TMapDataHeader header;
    header.MinZoom = 5;
    header.MaxZoom = 10;
    header.EntryCount = std::int32_t(keys.size());
    std::vector<std::uint8_t> file(MapDataSignature.begin(), MapDataSignature.end());
    const auto head = EncodeMapDataHeader(header);
    file.insert(file.end(), head.begin(), head.end());
    for (const std::string& key : keys) {
        std::uint8_t entry[32];
        EncodeMapDataEntry(key, std::int32_t(MapDataIndexStart + 32 * keys.size()), entry);
        if (key == "y_5_1_1") entry[10] = 'q';  // after the terminator
        file.insert(file.end(), entry, entry + 32);
    }
    TTempDir dir;
    WriteBytes(dir / "f.Dat", file);
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(dir / "f.Dat")), "");
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(reader.FindEntry(keys[i]), i == 4 || i == 6 ? 0 : std::int64_t(i)) << keys[i];
    EXPECT_EQ(reader.FindEntry("m_10_9"), -1);
    EXPECT_EQ(reader.FindEntry("y_5_1_1q"), -1);
}

TEST_F(MapDataWriterTest, ReaderRefusesDamagedFilesAndReportsDamagedImages) {
    Write();
    const std::vector<std::uint8_t> valid = ReadBytes(Target);
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(Target)), "");

    using TDamage = std::function<void(std::vector<std::uint8_t>&)>;
    const std::pair<const char*, TDamage> rows[] = {
        {"16 bytes", [](auto& f) { f.resize(16); }},
        {"wrong signature", [](auto& f) { f[16] = 'a'; }},
        {"header cut", [](auto& f) { f.resize(300); }},
        {"index cut", [](auto& f) { f.resize(409 + 40); }},
        {"min zoom 18", [](auto& f) { PutInt32(&f[17], 18); PutInt32(&f[21], 18); }},
        {"negative zoom", [](auto& f) { PutInt32(&f[17], -1); }},
        {"zooms reversed", [](auto& f) { PutInt32(&f[17], 11); }},
        {"huge count", [](auto& f) { PutInt32(&f[113], 0x7FFFFFFF); }},
        {"offset beyond end", [](auto& f) { PutInt32(&f[409 + 32 + 28], std::int32_t(f.size()) + 1); }},
        {"offset inside index", [](auto& f) { PutInt32(&f[409 + 28], 409); }},
        {"offsets decreasing", [](auto& f) { PutInt32(&f[409 + 28], GetInt32(&f[409 + 32 + 28]) + 1); }},
    };
    for (const auto& [name, damage] : rows) {
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> f = valid;
        damage(f);
        WriteBytes(Out / "bad.Dat", f);
        EXPECT_EQ(ErrorText(reader.Open(Out / "bad.Dat")), "文件不是本程序生成的地图数据文件。");
        EXPECT_FALSE(reader.IsOpen());
        EXPECT_TRUE(reader.Entries().empty());
    }
    EXPECT_EQ(ErrorText(reader.Open(Out / "none.Dat")), "文件不存在。");
    ASSERT_EQ(::mkfifo((Out / "fifo.Dat").c_str(), 0600), 0);
    EXPECT_EQ(ErrorText(reader.Open(Out / "fifo.Dat")), "文件不是本程序生成的地图数据文件。");

    std::vector<std::uint8_t> f = valid;
    std::fill(f.begin() + GetInt32(&f[409 + 32 + 28]) + 2, f.end(), 0x5A);  // keep SOI, garble the rest
    WriteBytes(Out / "garbled.Dat", f);
    ASSERT_EQ(ErrorText(reader.Open(Out / "garbled.Dat")), "");
    const auto read = reader.ReadTileImage(1);
    ASSERT_FALSE(read);
    EXPECT_FALSE(read.Error().Text.empty());
}

}  // namespace
