// When a cached tile expires, what the index keeps of it, and what a damaged
// index or hostile headers do to it (nothing worse than asking again).
#include "TileFreshness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "TileCache.h"

namespace fs = std::filesystem;

namespace {

TCacheHeaders Headers(std::string cacheControl, std::string expires = {}, std::string date = {}) {
    TCacheHeaders h;
    h.CacheControl = std::move(cacheControl);
    h.Expires = std::move(expires);
    h.Date = std::move(date);
    return h;
}

}  // namespace

TEST(TileFreshness, LifetimeFollowsMaxAgeThenExpiresAndRefusesNonsense) {
    EXPECT_EQ(FreshnessLifetime({}), -1);
    EXPECT_EQ(FreshnessLifetime(Headers("public, max-age=600")), 600);
    EXPECT_EQ(FreshnessLifetime(Headers("s-maxage=5, max-age=\"60\"")), 60);
    EXPECT_EQ(FreshnessLifetime(Headers("no-cache")), 0);
    EXPECT_EQ(FreshnessLifetime(Headers("max-age=-5")), -1);
    EXPECT_GT(FreshnessLifetime(Headers("max-age=999999999999999999999999")), 365LL * 86400);
    EXPECT_EQ(FreshnessLifetime(Headers("", "Thu, 01 Jan 2026 01:00:00 GMT", "Thu, 01 Jan 2026 00:00:00 GMT")),
              3600);
    EXPECT_EQ(FreshnessLifetime(Headers("", "0")), 0) << "an unreadable Expires is already expired";
    // A validator too long to be honest is not kept; a 304 without validators keeps the old ones.
    TCacheHeaders answer;
    answer.ETag = std::string(MaxValidatorBytes + 1, 'a');
    answer.LastModified = "x";
    const TTileRecord r = RecordOf(answer, {0, -1, "\"old\"", "y"});
    EXPECT_EQ(r.ETag, "\"old\"");
    EXPECT_EQ(r.LastModified, "x");
}

namespace {

void Touch(const std::string& path, std::chrono::hours age) {
    std::ofstream(path) << "tile";
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

}  // namespace

TEST(TileFreshness, ExpiryPerSourceRunAndServerWord) {
    TTempDir dir;
    TServerConfig server;
    const TTileId tile{TMapType::Road, 10, 1, 2};
    {
        const TTileCache cache(dir.DirString(), server);
        EXPECT_EQ(cache.Freshness(tile), TTileFreshness::Missing);
        Touch(cache.Path(tile), std::chrono::hours(24 * 1000));
        EXPECT_EQ(cache.Freshness(tile), TTileFreshness::Fresh) << "the default source never expires";
        EXPECT_FALSE(fs::exists(dir.DirString() + TFreshnessStore::FileName)) << "and never opens the index";
    }
    server.MaxAgeDays[0] = 30;
    EXPECT_EQ(TTileCache(dir.DirString(), server).Freshness(tile), TTileFreshness::Expired) << "by its file time";
    server.RunRefresh = {TRefreshMode::NoRefresh, 0, 0};
    EXPECT_EQ(TTileCache(dir.DirString(), server).Freshness(tile), TTileFreshness::Fresh);

    // A template follows the server, held to at least a day and a week without a word.
    server = {};
    server.UrlTemplates[0] = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    const TTileCache cache(dir.DirString(), server);
    fs::create_directories(fs::path(cache.Path(tile)).parent_path());
    Touch(cache.Path(tile), std::chrono::hours(24 * 3));
    EXPECT_EQ(cache.Freshness(tile), TTileFreshness::Fresh);
    const std::int64_t threeDaysAgo = NowMs() - 3 * 86'400'000LL;
    cache.Remember(tile, {threeDaysAgo, 60, "\"e\"", ""});
    EXPECT_EQ(cache.Freshness(tile), TTileFreshness::Expired) << "a minute is held to a day";
    cache.Remember(tile, {threeDaysAgo, 10 * 86400, "\"e\"", ""});
    EXPECT_EQ(cache.Freshness(tile), TTileFreshness::Fresh);
    // --max-age 0 asks what was fetched before the run began, not what it fetched itself.
    server.RunRefresh = {TRefreshMode::MaxAge, 0, NowMs()};
    const TTileCache run(dir.DirString(), server);
    EXPECT_EQ(run.Freshness(tile), TTileFreshness::Expired);
    run.Remember(tile, {NowMs(), -1, "\"e\"", ""});
    EXPECT_EQ(run.Freshness(tile), TTileFreshness::Fresh);
}

TEST(TileFreshness, RecordsSurviveTheStoreAndADamagedIndexIsStartedAnew) {
    TTempDir dir;
    {
        TFreshnessStore store(dir.DirString());
        store.Remember("m_1-2-3.gif", {1234, 60, "\"a\"", "Mon"});
    }
    {
        TFreshnessStore store(dir.DirString());
        const auto found = store.Find("m_1-2-3.gif");
        ASSERT_TRUE(found);
        EXPECT_EQ(found->FetchedMs, 1234);
        EXPECT_EQ(found->ETag, "\"a\"");
        EXPECT_FALSE(store.Find("m_1-2-4.gif"));
    }
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(dir.DirString() + TFreshnessStore::FileName + suffix);
    std::ofstream(dir.DirString() + TFreshnessStore::FileName, std::ios::trunc) << std::string(4096, 'x');
    TFreshnessStore store(dir.DirString());
    EXPECT_FALSE(store.Find("m_1-2-3.gif"));
    store.Remember("m_1-2-3.gif", {5, -1, "", ""});
    store.Flush();
    EXPECT_EQ(store.Find("m_1-2-3.gif")->FetchedMs, 5);
}
