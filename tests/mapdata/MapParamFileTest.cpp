#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LittleEndian.h"
#include "MapParamFile.h"
#include "MapdataTestSupport.h"

namespace {

TMapParamData Example() {
    TMapParamData d;
    d.CurrentZoom = 10;
    d.MaxZoom = 12;
    d.TileRect = {857, 374, 869, 386};
    d.CenterLon = 123.4259;
    d.CenterLat = 41.8123;
    d.Included = {true, false, true, false};
    return d;
}

std::vector<std::uint8_t> Bytes(const TMapParamData& d) {
    const auto a = EncodeMapParam(d);
    return {a.begin(), a.end()};
}

TEST(MapParamFile, ExampleBytes) {
    const auto b = Bytes(Example());
    ASSERT_EQ(b.size(), 63u);
    const std::vector<std::uint8_t> head{0x0A, 0, 0, 0, 0x0C, 0, 0, 0, 0x59, 0x03, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), b.begin()));
    EXPECT_EQ(GetInt32(&b[12]), 374);
    EXPECT_EQ(GetInt32(&b[16]), 869);
    EXPECT_EQ(GetInt32(&b[20]), 386);
    EXPECT_EQ(GetReal(&b[24]), 123.4259);
    EXPECT_EQ(GetReal(&b[32]), 41.8123);
    for (int i = 40; i <= 58; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ((std::vector<int>{b[59], b[60], b[61], b[62]}), (std::vector<int>{1, 0, 1, 0}));
}

TEST(MapParamFile, RoundTripKeepsReservedBytesAndNormalisesFlags) {
    TMapParamData d = Example();
    for (std::size_t i = 0; i < d.Reserved.size(); ++i) d.Reserved[i] = std::uint8_t(0xF0 + i);
    d.TileRect = {-3, -4, 2147483647, -2147483647 - 1};
    const auto b = Bytes(d);
    const TMapParamData back = DecodeMapParam(b.data());
    EXPECT_EQ(back.Reserved, d.Reserved);
    EXPECT_EQ(back.TileRect, d.TileRect);
    EXPECT_EQ(Bytes(back), b);

    auto odd = b;
    odd[60] = 2;
    odd[62] = 0xFF;
    const TMapParamData flags = DecodeMapParam(odd.data());
    EXPECT_EQ(flags.Included, (std::array<bool, 4>{true, true, true, true}));
    const auto again = Bytes(flags);
    EXPECT_EQ(again[60], 1);
    EXPECT_EQ(again[62], 1);
}

TEST(MapParamFile, SaveAndLoad) {
    TTempDir dir;
    const std::string name = dir / "area.Map";
    TMapParamData d = Example();
    d.Reserved[5] = 7;
    SaveMapParamFile(name, d);
    EXPECT_EQ(ReadBytes(name), Bytes(d));

    TMapParamData loaded;
    ASSERT_EQ(LoadMapParamFile(name, loaded), "");
    EXPECT_EQ(Bytes(loaded), Bytes(d));

    d.MaxZoom = 17;  // saving over a file replaces it whole
    SaveMapParamFile(name, d);
    EXPECT_EQ(ReadBytes(name), Bytes(d));
    EXPECT_EQ(DirectoryNames(dir.Path()), std::vector<std::string>{"area.Map"});

    // A longer file keeps its first 63 bytes meaningful.
    auto longer = Bytes(d);
    longer.push_back(9);
    WriteBytes(name, longer);
    EXPECT_EQ(LoadMapParamFile(name, loaded), "");
    EXPECT_EQ(loaded.MaxZoom, 17);

    try {
        SaveMapParamFile(dir / "no-such-dir/x.Map", d);
        FAIL();
    } catch (const TMapDataError& e) {
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
}

TEST(MapParamFile, RefusedFilesChangeNothing) {
    TTempDir dir;
    const TMapParamData before = Example();
    TMapParamData data = before;
    EXPECT_EQ(LoadMapParamFile(dir / "none.Map", data), "指定的文件不存在.");

    using TDamage = std::function<void(std::vector<std::uint8_t>&)>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<const char*, TDamage> rows[] = {
        {"empty", [](auto& b) { b.clear(); }},
        {"62 bytes", [](auto& b) { b.resize(62); }},
        {"current zoom 4", [](auto& b) { PutInt32(&b[0], 4); }},
        {"current zoom 18", [](auto& b) { PutInt32(&b[0], 18); }},
        {"max zoom 4", [](auto& b) { PutInt32(&b[4], 4); }},
        {"max zoom 18", [](auto& b) { PutInt32(&b[4], 18); }},
        {"negative zoom", [](auto& b) { PutInt32(&b[0], -10); }},
        {"centre not a number", [nan](auto& b) { PutReal(&b[24], nan); }},
    };
    for (const auto& [name, damage] : rows) {
        SCOPED_TRACE(name);
        TMapParamData other = Example();
        other.CurrentZoom = 5;
        auto b = Bytes(other);
        damage(b);
        WriteBytes(dir / "bad.Map", b);
        EXPECT_EQ(LoadMapParamFile(dir / "bad.Map", data), "地图参数文件已损坏。");
        EXPECT_EQ(Bytes(data), Bytes(before));
    }
    EXPECT_FALSE(LoadMapParamFile(dir.Path().string(), data).empty());
    EXPECT_EQ(Bytes(data), Bytes(before));
}

}  // namespace
