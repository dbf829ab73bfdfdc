#include <gtest/gtest.h>

#include <functional>
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
    EXPECT_EQ((std::vector<std::int32_t>{GetInt32(&b[12]), GetInt32(&b[16]), GetInt32(&b[20])}),
              (std::vector<std::int32_t>{374, 869, 386}));
    EXPECT_EQ(GetReal(&b[24]), 123.4259);
    EXPECT_EQ(GetReal(&b[32]), 41.8123);
    for (int i = 40; i <= 58; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ((std::vector<int>{b[59], b[60], b[61], b[62]}), (std::vector<int>{1, 0, 1, 0}));
}

TEST(MapParamFile, RoundTripKeepsReservedBytesAndNormalisesFlags) {
    TMapParamData d = Example();
    for (std::size_t i = 0; i < d.Reserved.size(); ++i) d.Reserved[i] = std::uint8_t(0xF0 + i);
    d.TileRect = {-3, -4, 2147483647, -2147483647 - 1};
    TTempDir dir;
    const std::string name = dir / "area.Map";
    WriteBytes(name, {'o', 'l', 'd'});
    SaveMapParamFile(name, d);  // replaces the old file whole
    EXPECT_EQ(ReadBytes(name), Bytes(d));
    EXPECT_EQ(DirectoryNames(dir.Path()), std::vector<std::string>{"area.Map"});
    const auto back = LoadMapParamFile(name);
    ASSERT_EQ(ErrorText(back), "");
    EXPECT_EQ(Bytes(*back), Bytes(d));  // reserved bytes and extreme rectangle included

    auto odd = Bytes(d);
    odd[60] = 2;
    odd[62] = 0xFF;
    const TMapParamData flags = DecodeMapParam(odd.data());
    EXPECT_EQ(flags.Included, (std::array<bool, 4>{true, true, true, true}));
    const auto again = Bytes(flags);
    EXPECT_EQ(again[60], 1);
    EXPECT_EQ(again[62], 1);
    EXPECT_THROW(SaveMapParamFile(dir / "no-such-dir/x.Map", d), TMapDataError);
}

TEST(MapParamFile, RefusedFilesChangeNothing) {
    TTempDir dir;
    EXPECT_EQ(ErrorText(LoadMapParamFile(dir / "none.Map")), "指定的文件不存在.");

    using TDamage = std::function<void(std::vector<std::uint8_t>&)>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<const char*, TDamage> rows[] = {
        {"62 bytes", [](auto& b) { b.resize(62); }},
        {"current zoom 4", [](auto& b) { PutInt32(&b[0], 4); }},
        {"current zoom 18", [](auto& b) { PutInt32(&b[0], 18); }},
        {"max zoom 4", [](auto& b) { PutInt32(&b[4], 4); }},
        {"max zoom 18", [](auto& b) { PutInt32(&b[4], 18); }},
        {"centre not a number", [nan](auto& b) { PutReal(&b[24], nan); }},
    };
    for (const auto& [name, damage] : rows) {
        SCOPED_TRACE(name);
        TMapParamData other = Example();
        other.CurrentZoom = 5;
        auto b = Bytes(other);
        damage(b);
        WriteBytes(dir / "bad.Map", b);
        EXPECT_EQ(ErrorText(LoadMapParamFile(dir / "bad.Map")), "地图参数文件已损坏。");
    }
}

}  // namespace
