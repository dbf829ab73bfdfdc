// Tile source checks, template filling and digests, and how the settings
// file's entries reach them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Settings.h"
#include "TempDir.h"
#include "TileSource.h"

namespace fs = std::filesystem;

TEST(TileSource, TemplatesAreAcceptedOrRefusedWithTheirReason) {
    const struct { const char* Template; const char* Problem; } rows[] = {
        {"http://127.0.0.1:8080/{z}/{x}/{y}.png", ""},
        {"https://{s:a-c}.tiles.example.org/s/{z}/{x}/{y}.jpg?key=a%20b", ""},
        {"HTTP://mt{s}.example.cn/vt?x={x}&y={y}&z={z}", ""},
        {"http://[::1]:81/{z}/{x}/{y}.png", ""},
        {"http://tiles.example/{z}/{x}.png", "it has no {y}"},
        {"http://tiles.example/{x}/{y}.png", "it has no {z}"},
        {"http://tiles.example/{z}/{x}/{y}/{q}.png", "unknown placeholder {q}"},
        {"http://tiles.example/{z}/{x}/{y}/{s:3-1}.png", "unknown placeholder {s:3-1}"},
        {"http://tiles.example/{z}/{x}/{y.png", "'{' without '}'"},
        {"http://tiles.example/{z}/{x}/y}.png", "'}' without '{'"},
        {"ftp://tiles.example/{z}/{x}/{y}.png", "must begin with http:// or https://"},
        {"tiles.example/{z}/{x}/{y}.png", "must begin with http:// or https://"},
        {"http://tiles.example/{z}/{x}/{y}.png ; ours", "a blank"},
        {"http://tiles_x.example/{z}/{x}/{y}.png", "cannot hold '_'"},
        {"http://me@tiles.example/{z}/{x}/{y}.png", "user name"},
        {"http://tiles.example:0/{z}/{x}/{y}.png", "port must be a number"},
        {"http://tiles.example:80x/{z}/{x}/{y}.png", "port must be a number"},
        {"http:///{z}/{x}/{y}.png", "names no host"},
        {"http://a..b/{z}/{x}/{y}.png", "empty part"},
        {"http://tiles.example/{z}/{x}/{y}%.png", "hex escape"},
    };
    for (const auto& row : rows) {
        const std::string problem = SourceProblemText(UrlTemplateProblem(row.Template));
        if (*row.Problem == 0) EXPECT_EQ(problem, "") << row.Template;
        else EXPECT_NE(problem.find(row.Problem), std::string::npos) << row.Template << " -> " << problem;
    }
}

TEST(TileSource, HostPatternsHoldOnlyWhatAHostNameCan) {
    for (const char* good : {"mt%d.google.cn", "127.0.0.1", "tiles-1.example.org", "localhost"})
        EXPECT_FALSE(HostPatternProblem(good)) << good;
    for (const char* bad : {"127.0.0.1 ; local tile server", "mt%d.google.cn;x", "a b", "host/vt", "host:80",
                            "me@host", "%s.example", "", ".example", "-a.example"})
        EXPECT_TRUE(HostPatternProblem(bad)) << bad;
}

TEST(TileSource, FillsPlaceholdersAndChoosesWithinTheServerRange) {
    TServerConfig server;
    EXPECT_EQ(ServerChoiceCount(server, TMapType::Road), 4);  // the default source's four hosts
    server.UrlTemplates = {"http://t{s:a-c}.example/{z}/{x}/{y}.png", "http://t.example/{z}-{x}-{y}",
                           "http://t{s:10-11}.example/{z}/{x}/{y}", "http://t{s}.example/{z}/{x}/{y}"};
    EXPECT_EQ(ServerChoiceCount(server, TMapType::Road), 3);
    EXPECT_EQ(ServerChoiceCount(server, TMapType::Terrain), 1);
    EXPECT_EQ(ServerChoiceCount(server, TMapType::Satellite), 2);
    EXPECT_EQ(ServerChoiceCount(server, TMapType::SatelliteRoads), 4);
    EXPECT_EQ(ExpandUrlTemplate(server.UrlTemplates[0], 2, 3412, 1538, 12), "http://tc.example/12/3412/1538.png");
    EXPECT_EQ(ExpandUrlTemplate(server.UrlTemplates[0], 4, 1, 2, 5), "http://tb.example/5/1/2.png");
    EXPECT_EQ(ExpandUrlTemplate(server.UrlTemplates[2], 1, 1, 2, 5), "http://t11.example/5/1/2");
}

TEST(TileSource, DigestIsFnv1aOfTheTemplate) {
    EXPECT_EQ(SourceDigest(""), "cbf29ce48422");  // the FNV-1a 64 offset basis
    EXPECT_EQ(SourceDigest("http://127.0.0.1:8080/{z}/{x}/{y}.png"), "31197acb777c");
    EXPECT_NE(SourceDigest("http://127.0.0.1:8080/{z}/{x}/{y}.png"), SourceDigest("http://127.0.0.1:8081/{z}/{x}/{y}.png"));
}

// An https template never follows a redirect to plain http; the default source may.
TEST(TileSource, OnlyHttpsTemplatesStaySecure) {
    TServerConfig server;
    server.UrlTemplates = {"", "http://t.example/{z}/{x}/{y}", "HTTPS://t.example/{z}/{x}/{y}", ""};
    EXPECT_FALSE(RequestIdentity(server, TMapType::Road).SecureOnly || RequestIdentity(server, TMapType::Terrain).SecureOnly);
    EXPECT_TRUE(RequestIdentity(server, TMapType::Satellite).SecureOnly);
}

// The settings file keeps text after ';' on a value line, so a comment there
// becomes part of the value: such a host is refused, naming its entry.
TEST(TileSource, SettingsRecordEveryRefusedEntryAndKeepTheOthersUsable) {
    const TTempDir dir;
    const fs::path ini = dir / "AtlasPocket.Ini";
    std::ofstream(ini) << "[ATLAS_SERVER]\nHOST=127.0.0.1 ; local tile server\n"
                          "[ATLAS_SOURCE]\nURL_P=http://t.example/{z}/{x}/{y}.png\nURL_S=http://t.example/{z}/{x}.jpg\n"
                          "REFERER_P=http://t.example/\nUSER_AGENT=AtlasPocket/1\nCA_FILE=/etc/ours.pem\n";
    TAtlasSettings settings = ReadSettings(ini);
    ASSERT_EQ(settings.SourceProblems.size(), 2u);
    EXPECT_EQ(SourceProblemText(settings.SourceProblems[0]),
              "[ATLAS_SERVER] HOST: it holds a blank (a comment must stand on a line of its own): "
              "\"127.0.0.1 ; local tile server\"");
    EXPECT_EQ(SourceProblemText(settings.SourceProblems[1]),
              "[ATLAS_SOURCE] URL_S: it has no {y}: \"http://t.example/{z}/{x}.jpg\"");
    EXPECT_FALSE(SourceUsable(settings.Server, TMapType::Road));  // default source behind the bad host
    EXPECT_TRUE(SourceUsable(settings.Server, TMapType::Terrain));   // its own valid template
    EXPECT_FALSE(SourceUsable(settings.Server, TMapType::Satellite));
    EXPECT_EQ(settings.Server.Referers[1], "http://t.example/");
    EXPECT_EQ(settings.Server.UserAgent, "AtlasPocket/1");
    EXPECT_EQ(settings.Server.CaFile, "/etc/ours.pem");

    std::ofstream(ini) << "[ATLAS_SERVER]\n; local tile server\nHOST=127.0.0.1\n[ATLAS_SOURCE]\nPLACEHOLDER_P=not a digest\n";
    settings = ReadSettings(ini);
    ASSERT_EQ(settings.SourceProblems.size(), 1u);
    EXPECT_EQ(SourceProblemText(settings.SourceProblems[0]),
              "[ATLAS_SOURCE] PLACEHOLDER_P: \"not a digest\" is not a SHA-256 digest (64 hex digits)");
    std::ofstream(ini) << "[ATLAS_SERVER]\n; local tile server\nHOST=127.0.0.1\n";
    settings = ReadSettings(ini);
    EXPECT_TRUE(settings.SourceProblems.empty());
    EXPECT_EQ(settings.Server.UrlTemplates, (std::array<std::string, 4>{}));
}

// PLACEHOLDER_X: digests in either case with blanks around them; anything else
// is a problem of its key, and the type requests nothing rather than cache ban pictures.
TEST(TileSource, PlaceholderListsHoldOnlyDigests) {
    const std::string a(64, 'a'), b = std::string(63, '0') + "F";
    TServerConfig server;
    server.HostPattern = "127.0.0.1";
    server.Placeholders = {" " + a + " ,\t" + b + ",", "", a + ",abc", a.substr(1) + "g"};
    EXPECT_EQ(PlaceholderDigests(server, TMapType::Road), (std::vector<std::string>{a, std::string(63, '0') + "f"}));
    EXPECT_TRUE(PlaceholderDigests(server, TMapType::Terrain).empty());
    EXPECT_TRUE(PlaceholderDigests(server, TMapType::Satellite).empty());
    const auto problems = ServerConfigProblems(server);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(SourceProblemText(problems[0]), "[ATLAS_SOURCE] PLACEHOLDER_S: \"abc\" is not a SHA-256 digest (64 hex digits)");
    EXPECT_EQ(SourceProblemText(problems[1]),
              "[ATLAS_SOURCE] PLACEHOLDER_Y: \"" + a.substr(1) + "g\" is not a SHA-256 digest (64 hex digits)");
    EXPECT_TRUE(SourceUsable(server, TMapType::Road));
    EXPECT_TRUE(SourceUsable(server, TMapType::Terrain));
    EXPECT_FALSE(SourceUsable(server, TMapType::Satellite));
    EXPECT_FALSE(SourceUsable(server, TMapType::SatelliteRoads));
}
