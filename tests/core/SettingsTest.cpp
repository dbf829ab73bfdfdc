#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cmath>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "IniFile.h"
#include "NumberFormat.h"
#include "ProgramPaths.h"
#include "Settings.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// The message of the settings error a correction throws, or "" if none.
std::string CorrectionError(TSettingsFile& settings, int index, const std::string& lon, const std::string& lat) {
    try {
        settings.ApplyDeltaCorrection(MapTypeAt(index), lon, lat, TMapType::Road);
    } catch (const TSettingsError& e) {
        return e.what();
    }
    return "";
}

class SettingsFixture : public ::testing::Test {
protected:
    TTempDir Temp;
    const fs::path Dir = Temp.Path(), Ini = Dir / "AtlasPocket.Ini";
    TSettingsFile Settings{Ini};
};

// Qt sets the C library locale from the environment; a comma-decimal locale
// must change nothing the program shows, writes or reads.
TEST_F(SettingsFixture, CommaDecimalLocaleChangesNoText) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + (Dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0) ::setenv("LOCPATH", Dir.c_str(), 1);
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale and localedef could not make one";
    }
    struct TRestore {
        ~TRestore() { std::setlocale(LC_ALL, "C"); }
    } restore;
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    EXPECT_EQ(FormatReal(123.4259), "123.4259");
    EXPECT_EQ(FormatReal(-1.5e-7), "-1.5E-7");
    EXPECT_EQ(FormatFixed(0.0059448), "0.00594480");
    EXPECT_EQ(ParseReal("0.00594480"), 0.0059448);
    Settings.Load();
    Settings.WriteInitialCenter(1.63975, -0.0003);
    Settings.ApplyDeltaCorrection(TMapType::Road, FormatFixed(Settings.Values().Deltas[0].Lon), FormatFixed(Settings.Values().Deltas[0].Lat), TMapType::Terrain);
    EXPECT_NE(ReadAll(Ini).find("LON_VALUE=1.63975\r\nLAT_VALUE=-0.0003\r\n"), std::string::npos) << ReadAll(Ini);
    Settings = TSettingsFile(Ini);
    Settings.Load();
    EXPECT_EQ(Settings.Values().InitialLon, 1.63975);
    EXPECT_EQ(Settings.Values().InitialLat, -0.0003);
    EXPECT_NEAR(Settings.Values().Deltas[0].Lon, 0.0, 1e-15);
}

TEST_F(SettingsFixture, DefaultsWithoutAFile) {
    Settings.HoldInitialLon(9);
    Settings.Load();
    EXPECT_EQ(Settings.Values().InitialLon, 123.4259);
    EXPECT_EQ(Settings.Values().InitialLat, 41.8123);
    EXPECT_EQ(Settings.Values().InitialZoom, 5);
    EXPECT_EQ(Settings.Values().Deltas[0].Lon, 0.0059448);
    EXPECT_EQ(Settings.Values().Deltas[0].Lat, 0.0026895);
    EXPECT_EQ(Settings.Values().Deltas[3].Lon, -0.000202834);
    EXPECT_EQ(Settings.Values().Server.Port, 80);
    EXPECT_TRUE(Settings.Values().Server.KeepAlive);
    EXPECT_FALSE(Settings.Values().Rectify);
    EXPECT_FALSE(fs::exists(Ini)) << "loading never writes";
}

// A FIFO under the settings file's name would block a plain read for ever:
// it reads as no file, and a write says why it is refused.
TEST_F(SettingsFixture, AFifoIsNoSettingsFile) {
    ASSERT_EQ(::mkfifo(Ini.c_str(), 0600), 0);
    Settings.Load();
    EXPECT_EQ(Settings.Values().InitialZoom, 5);
    try {
        Settings.WriteInitialZoom(7);
        FAIL() << "written into a FIFO";
    } catch (const TSettingsError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + Ini.string());
        EXPECT_EQ(e.Cause().Kind, TFaultKind::CannotReadFile);
        EXPECT_TRUE(e.Cause().NotRegular);
        EXPECT_EQ(FaultText(e.Cause()), Ini.string() + ": not a regular file");
    }
    EXPECT_THROW(Settings.WriteRectify(true), TSettingsError);
    EXPECT_FALSE(Settings.Values().Rectify) << "a refused write changes nothing";
}

TEST_F(SettingsFixture, BadValuesFallBackToDefaults) {
    WriteAll(Ini,
             "[ATLAS_DELTA]\r\nLON_M=abc\r\nLAT_M=0.5\r\nLON_S=\r\n"
             "[ATLAS_ZOOM]\r\nFIRST_ZOOM=42\r\n"
             "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=8080\r\nKEEP_ALIVE=0\r\n");
    Settings.Load();
    EXPECT_FALSE(Settings.Values().Server.KeepAlive);
    EXPECT_EQ(Settings.Values().Deltas[0].Lon, 0.0059448);
    EXPECT_EQ(Settings.Values().Deltas[0].Lat, 0.5);
    EXPECT_EQ(Settings.Values().Deltas[2].Lon, -0.000202834);
    EXPECT_EQ(Settings.Values().InitialZoom, 5);
    EXPECT_EQ(Settings.Values().Server.HostPattern, "127.0.0.1");
    EXPECT_EQ(Settings.Values().Server.Port, 8080);
    WriteAll(Ini, "[atlas_zoom]\nfirst_zoom = 12\n");
    Settings.Load();
    EXPECT_EQ(Settings.Values().InitialZoom, 12) << "names are case-insensitive, blanks trimmed";
}

TEST_F(SettingsFixture, WritesKeepForeignLinesAndReplaceInPlace) {
    WriteAll(Ini,
             "; my notes\r\n[OTHER]\r\nA=1\r\n\r\n[ATLAS_ZOOM]\r\n# keep me\r\nFIRST_ZOOM=7\r\nX=y\r\n\r\n[TAIL]\r\nB=2\r\n");
    Settings.Load();
    Settings.WriteInitialZoom(12);
    Settings.WriteInitialCenter(1.5, -2.25);
    EXPECT_EQ(ReadAll(Ini),
              "; my notes\r\n[OTHER]\r\nA=1\r\n\r\n[ATLAS_ZOOM]\r\n# keep me\r\nFIRST_ZOOM=12\r\nX=y\r\n\r\n[TAIL]\r\nB=2\r\n"
              "\r\n[ATLAS_CENTER]\r\nLON_VALUE=1.5\r\nLAT_VALUE=-2.25\r\n");
    Settings.Load();
    EXPECT_EQ(Settings.Values().InitialZoom, 12);
    EXPECT_EQ(Settings.Values().InitialLat, -2.25);
    Settings.WriteRectify(true);
    EXPECT_NE(ReadAll(Ini).find("[ATLAS_GENERATE]\r\nRECTIFY=1\r\n"), std::string::npos) << ReadAll(Ini);
    Settings = TSettingsFile(Ini);
    Settings.Load();
    EXPECT_TRUE(Settings.Values().Rectify);
}

TEST_F(SettingsFixture, CorrectionRule) {
    Settings.Load();
    // Unedited fields (the 8-decimal texts of the present offsets) set them to the rounding residue.
    Settings.ApplyDeltaCorrection(TMapType::Road, FormatFixed(Settings.Values().Deltas[0].Lon), FormatFixed(Settings.Values().Deltas[0].Lat), TMapType::Terrain);
    EXPECT_NEAR(Settings.Values().Deltas[0].Lon, 0.0, 1e-15);
    EXPECT_NEAR(Settings.Values().Deltas[0].Lat, 0.0, 1e-15);
    Settings.ApplyDeltaCorrection(TMapType::Satellite, FormatFixed(-0.000202834), FormatFixed(0.000290538), TMapType::Terrain);
    EXPECT_NEAR(Settings.Values().Deltas[2].Lon, -0.000202834 + 0.00020283, 1e-15);
    EXPECT_NEAR(Settings.Values().Deltas[2].Lat, 0.000290538 - 0.00029054, 1e-15);
    // Empty or zero fields leave the offsets unchanged but still write them.
    Settings.ApplyDeltaCorrection(TMapType::Terrain, "", "0", TMapType::Road);
    EXPECT_EQ(Settings.Values().Deltas[1].Lon, 0.0059448);
    EXPECT_EQ(Settings.Values().Deltas[1].Lat, 0.0026895);
    TIniFile ini(Ini);
    EXPECT_EQ(ini.ReadString("ATLAS_DELTA", "LON_P"), "0.0059448");
    // A type not on display leaves LON_VALUE alone.
    EXPECT_FALSE(ini.ReadString("ATLAS_DELTA", "LON_VALUE").has_value());
    // Pressing twice applies the correction twice; the shown type moves LON_VALUE/LAT_VALUE.
    Settings.ApplyDeltaCorrection(TMapType::SatelliteRoads, "0.001", "-0.002", TMapType::SatelliteRoads);
    Settings.ApplyDeltaCorrection(TMapType::SatelliteRoads, "0.001", "-0.002", TMapType::SatelliteRoads);
    EXPECT_NEAR(Settings.Values().Deltas[3].Lon, -0.000202834 - 0.002, 1e-15);
    EXPECT_NEAR(Settings.Values().Deltas[3].Lat, 0.000290538 + 0.004, 1e-15);
    EXPECT_EQ(ParseReal(*ini.ReadString("ATLAS_DELTA", "LON_VALUE")), Settings.Values().Deltas[3].Lon);
    EXPECT_EQ(ParseReal(*ini.ReadString("ATLAS_DELTA", "LAT_VALUE")), Settings.Values().Deltas[3].Lat);
}

TEST_F(SettingsFixture, CorrectionErrors) {
    Settings.Load();
    EXPECT_EQ(CorrectionError(Settings, 0, "0.1", "1.2.3"), "'1.2.3' is not a valid floating point value");
    EXPECT_EQ(Settings.Values().Deltas[0].Lon, 0.0059448) << "nothing changes before both texts convert";
    EXPECT_FALSE(fs::exists(Ini));

    WriteAll(Ini, "[ATLAS_DELTA]\r\n");
    ::chmod(Ini.c_str(), 0444);
    EXPECT_EQ(CorrectionError(Settings, 1, "0.001", ""), "Unable to write to " + Ini.string());
    EXPECT_EQ(Settings.Values().Deltas[1].Lon, 0.0059448 - 0.001) << "memory keeps what was assigned before the failing write";
    EXPECT_EQ(ReadAll(Ini), "[ATLAS_DELTA]\r\n");
}

TEST_F(SettingsFixture, DataLocations) {
    // Dir/build is a build tree, Dir/usr an installed prefix, Dir/copy a copied program directory.
    fs::create_directories(Dir / "build/src/ui");
    fs::create_directories(Dir / "build/src/cli");
    fs::create_directories(Dir / "usr/bin");
    fs::create_directories(Dir / "usr/share/atlaspocket");
    WriteAll(Dir / "usr/share/atlaspocket/installed", "");
    fs::create_directories(Dir / "copy");
    const fs::path home = "/home/someone";
    const fs::path perUser = home / ".config/AtlasPocket/AtlasPocket.Ini";
    const struct {
        fs::path ProgramDir;
        fs::path Settings;
    } rows[] = {
        {Dir / "build/src/ui", Dir / "build/AtlasPocket.Ini"},  // window and CLI of one build share
        {Dir / "build/src/cli", Dir / "build/AtlasPocket.Ini"},
        {Dir / "copy", Dir / "copy/AtlasPocket.Ini"},
        {Dir / "usr/bin", perUser},  // installed: per-user although root may write there
        {"/proc/nonexistent-dir", perUser},
    };
    for (const auto& r : rows) {
        const auto loc = DataLocationsFor(r.ProgramDir, home, Dir / "build");
        EXPECT_EQ(loc.SettingsFile, r.Settings) << r.ProgramDir;
        const std::string cache = r.Settings == perUser ? "/home/someone/.cache/AtlasPocket/FileMap/"
                                                        : (r.Settings.parent_path() / "FileMap").string() + "/";
        EXPECT_EQ(loc.CacheDir, cache) << r.ProgramDir;
    }
    EXPECT_TRUE(IsInstalledProgramDir(Dir / "usr/bin"));
    EXPECT_FALSE(IsInstalledProgramDir(Dir / "copy"));
}

}  // namespace
