// Downloads from URL templates against the local tile server: which URL,
// which headers, which cache folder, what is refused, and https.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "AtlasThread.h"
#include "GenWorkerPool.h"
#include "Settings.h"
#include "WorkerTestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TileSourceDownloadTest : public TWorkerTest {
protected:
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(Server->Port()); }
    TTileNotice Next() { return Notices.Take(30s).value_or(TTileNotice{}); }
};

}  // namespace

TEST_F(TileSourceDownloadTest, TemplatesFetchTheirTilesWithTheirHostRefererAndUserAgent) {
    TServerConfig config = Server->Config();
    config.UrlTemplates = {Base() + "/{z}/{x}/{y}.png", Base() + "/p/{z}/{x}/{y}.png", Base() + "/{z}/{x}/{y}.jpg", ""};
    config.Referers[2] = "http://sat.example/";
    config.UserAgent = "AtlasPocket-test/1";
    TAtlasThread worker(&Notices, Cache.DirString(), config);
    const struct { const char* Type; std::string Host, Referer; } rows[] = {
        {"m", "127.0.0.1:" + std::to_string(Server->Port()), "http://127.0.0.1"},
        {"p", "127.0.0.1:" + std::to_string(Server->Port()), "http://127.0.0.1"},
        {"s", "127.0.0.1:" + std::to_string(Server->Port()), "http://sat.example/"},
        {"y", "127.0.0.1", "http://127.0.0.1"},  // no template: today's request, Host without port
    };
    for (const auto& row : rows) worker.AddTypedRequest({*ParseMapType(row.Type), 7, 100, 50});
    for (const auto& row : rows) {
        const TTileNotice notice = Next();
        ASSERT_EQ(notice.Kind, TNoticeKind::TileSaved) << row.Type;
        EXPECT_EQ(notice.Path, TTileCache(Cache.DirString(), config).Path({*ParseMapType(row.Type), 7, 100, 50}));
        EXPECT_EQ(ReadAll(notice.Path), Server->TileBody(row.Type, 7, 100, 50)) << row.Type;
        const auto headers = Server->LastHeaders(row.Type, 7, 100, 50);
        EXPECT_EQ(headers.at("Host"), row.Host) << row.Type;
        EXPECT_EQ(headers.at("Referer"), row.Referer) << row.Type;
        EXPECT_EQ(headers.at("User-Agent"), "AtlasPocket-test/1") << row.Type;
    }
    // Only the default source keeps today's folder and names.
    EXPECT_TRUE(fs::exists(PathOf("y", 7, 100, 50)));
    EXPECT_FALSE(fs::exists(PathOf("m", 7, 100, 50)));
    EXPECT_EQ(fs::path(TTileCache(Cache.DirString(), config).Path({TMapType::Road, 7, 100, 50})).parent_path(),
              Cache.Path() / SourceDigest(config.UrlTemplates[0]));
}

TEST_F(TileSourceDownloadTest, RefusedSourcesRequestNothing) {
    TServerConfig config = Server->Config();
    config.HostPattern = "127.0.0.1 ; local tile server";
    config.UrlTemplates[2] = Base() + "/{z}/{x}.jpg";
    config.UrlTemplates[3] = Base() + "/{z}/{x}/{y}/{t}.png";
    TAtlasThread worker(&Notices, Cache.DirString(), config);
    for (const char* type : {"m", "s", "y"}) worker.AddTypedRequest({*ParseMapType(type), 7, 100, 50});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Next().Kind, TNoticeKind::TileFailed);
    EXPECT_EQ(Server->TotalRequests(), 0);
    EXPECT_TRUE(fs::is_empty(Cache.Path()));
}

TEST_F(TileSourceDownloadTest, TwoSourcesOfOneTypeAreCachedApart) {
    TServerConfig other = Server->Config();
    other.UrlTemplates[0] = Base() + "/m/{z}/{x}/{y}.png";
    for (const TServerConfig& config : {Server->Config(), other}) {
        TAtlasThread worker(&Notices, Cache.DirString(), config);
        worker.AddTypedRequest({TMapType::Road, 7, 100, 50});
        EXPECT_EQ(Next().Kind, TNoticeKind::TileSaved);
    }
    EXPECT_EQ(Server->Attempts("m", 7, 100, 50), 2);
    EXPECT_TRUE(fs::exists(PathOf("m", 7, 100, 50)));
    EXPECT_TRUE(fs::exists(TTileCache(Cache.DirString(), other).Path({TMapType::Road, 7, 100, 50})));
    // The pool's "is it cached" check looks where its own source keeps the tile.
    TGenWorkerPool pool(&Notices, Cache.DirString(), other);
    EXPECT_TRUE(pool.RequestGenTile(7, 100, 50, "m"));
    other.UrlTemplates[0] += "?v=2";
    TGenWorkerPool changed(&Notices, Cache.DirString(), other);
    EXPECT_FALSE(changed.RequestGenTile(7, 100, 50, "m"));
    EXPECT_EQ(Next().Kind, TNoticeKind::TileSaved);
}

// A local https server with a self-signed certificate for 127.0.0.1.
class HttpsSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitDownloads();
        const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                    " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
                                    " -keyout '" + (Dir.Path() / "key.pem").string() + "' -out '" + Cert() +
                                    "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        Https = std::make_unique<TTestTileServer>(
            std::vector<std::string>{"--tls-cert", Cert(), "--tls-key", (Dir.Path() / "key.pem").string()});
    }
    std::string Cert() const { return (Dir.Path() / "cert.pem").string(); }
    std::string Template() const { return "https://127.0.0.1:" + std::to_string(Https->Port()) + "/{z}/{x}/{y}.png"; }

    TTempDir Dir;
    std::unique_ptr<TTestTileServer> Https;
    TNoticeQueue Notices;
};

TEST_F(HttpsSourceTest, UntrustedCertificateIsRefusedWithItsReason) {
    TServerConfig config;
    config.UrlTemplates[0] = Template();
    const TDownloadResult result = DownloadTile(ExpandUrlTemplate(Template(), 0, 1, 2, 5), RequestIdentity(config, TMapType::Road));
    ASSERT_FALSE(result);
    const std::string& why = result.Error().Text;
    EXPECT_NE(why.find("certificate"), std::string::npos) << why;
    EXPECT_NE(why.find("CA_FILE"), std::string::npos) << why;
}

TEST_F(HttpsSourceTest, CertificateTrustedThroughTheSettingsIsAccepted) {
    const fs::path ini = Dir.Path() / "AtlasPocket.Ini";
    std::ofstream(ini) << "[ATLAS_SOURCE]\nURL_M=" << Template() << "\nCA_FILE=" << Cert() << "\n";
    const TAtlasSettings settings = ReadSettings(ini);
    ASSERT_TRUE(settings.SourceProblems.empty());
    TAtlasThread worker(&Notices, (Dir.Path() / "FileMap").string(), settings.Server);
    worker.AddTypedRequest({TMapType::Road, 5, 1, 2});
    const TTileNotice notice = Notices.Take(30s).value_or(TTileNotice{});
    ASSERT_EQ(notice.Kind, TNoticeKind::TileSaved);
    EXPECT_EQ(ReadAll(notice.Path), Https->TileBody("m", 5, 1, 2));
}
