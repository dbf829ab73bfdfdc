#include "TileFreshness.h"

#include <curl/curl.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <map>

namespace {

// Pending records are written once this many wait, or this long after the last write.
constexpr std::size_t FlushCount = 512;
constexpr auto FlushAfter = std::chrono::seconds(2);

std::string Lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A directive's decimal value ("max-age=600"); empty when absent or not a number.
std::optional<std::int64_t> Directive(const std::string& cacheControl, std::string_view name) {
    const std::string text = Lower(cacheControl);
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        // Whole directive names only: "s-maxage" is not "max-age".
        if (at > 0 && text[at - 1] != ',' && text[at - 1] != ' ') continue;
        std::size_t p = at + name.size();
        if (p >= text.size() || text[p] != '=') continue;
        ++p;
        if (p < text.size() && text[p] == '"') ++p;
        std::int64_t v = 0;
        const auto [end, ec] = std::from_chars(text.data() + p, text.data() + text.size(), v);
        if (ec == std::errc::result_out_of_range) return std::int64_t(1) << 40;
        if (ec != std::errc() || end == text.data() + p || v < 0) return std::nullopt;
        return v;
    }
    return std::nullopt;
}

bool HasWord(const std::string& cacheControl, std::string_view word) {
    return Lower(cacheControl).find(word) != std::string::npos;
}

std::string Validator(const std::string& value) { return value.size() <= MaxValidatorBytes ? value : std::string(); }

}  // namespace

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t FreshnessLifetime(const TCacheHeaders& headers) {
    if (HasWord(headers.CacheControl, "no-cache") || HasWord(headers.CacheControl, "no-store")) return 0;
    if (const auto maxAge = Directive(headers.CacheControl, "max-age")) return *maxAge;
    if (headers.Expires.empty()) return -1;
    const time_t expires = curl_getdate(headers.Expires.c_str(), nullptr);
    // An Expires that cannot be read means already expired.
    if (expires == time_t(-1)) return 0;
    time_t date = headers.Date.empty() ? time_t(-1) : curl_getdate(headers.Date.c_str(), nullptr);
    if (date == time_t(-1)) date = time_t(NowMs() / 1000);
    return std::max<std::int64_t>(0, std::int64_t(expires) - std::int64_t(date));
}

TTileRecord RecordOf(const TCacheHeaders& headers, const TTileRecord& before) {
    TTileRecord record;
    record.FetchedMs = NowMs();
    record.LifetimeS = FreshnessLifetime(headers);
    record.ETag = Validator(headers.ETag);
    record.LastModified = Validator(headers.LastModified);
    // A 304 may leave out what did not change.
    if (record.ETag.empty()) record.ETag = before.ETag;
    if (record.LastModified.empty()) record.LastModified = before.LastModified;
    return record;
}

std::shared_ptr<TFreshnessStore> TFreshnessStore::ForFolder(const std::string& folder) {
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<TFreshnessStore>> registry;
    std::lock_guard lock(registryLock);
    auto& slot = registry[folder];
    auto store = slot.lock();
    if (!store) {
        store = std::make_shared<TFreshnessStore>(folder);
        slot = store;
    }
    return store;
}

TFreshnessStore::TFreshnessStore(std::string folder) : Folder(std::move(folder)) {}

TFreshnessStore::~TFreshnessStore() {
    std::lock_guard lock(Lock);
    FlushLocked();
    if (Select) sqlite3_finalize(static_cast<sqlite3_stmt*>(Select));
    if (Db) sqlite3_close(static_cast<sqlite3*>(Db));
}

bool TFreshnessStore::Open() {
    if (Db) return true;
    if (OpenFailed) return false;
    const std::string path = (std::filesystem::path(Folder) / FileName).string();
    auto tryOpen = [&]() -> bool {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return false;
        }
        sqlite3_busy_timeout(db, 2000);
        // WAL without a sync per commit: a crash may lose the last records, never the index.
        const char* setup =
            "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
            "CREATE TABLE IF NOT EXISTS tiles(name TEXT PRIMARY KEY, fetched INTEGER NOT NULL,"
            " lifetime INTEGER NOT NULL, etag TEXT NOT NULL, last_modified TEXT NOT NULL) WITHOUT ROWID;";
        sqlite3_stmt* select = nullptr;
        if (sqlite3_exec(db, setup, nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db, "SELECT fetched, lifetime, etag, last_modified FROM tiles WHERE name = ?", -1,
                               &select, nullptr) != SQLITE_OK) {
            sqlite3_finalize(select);
            sqlite3_close(db);
            return false;
        }
        Db = db;
        Select = select;
        return true;
    };
    if (tryOpen()) return true;
    // A damaged index is only lost knowledge: it goes, and its tiles are asked again.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
        if (tryOpen()) return true;
    }
    // A folder we cannot write: the run goes on without records.
    OpenFailed = true;
    return false;
}

std::optional<TTileRecord> TFreshnessStore::Find(const std::string& name) {
    std::lock_guard lock(Lock);
    if (auto it = Pending.find(name); it != Pending.end()) return it->second;
    if (!Open()) return std::nullopt;
    auto* stmt = static_cast<sqlite3_stmt*>(Select);
    sqlite3_reset(stmt);
    sqlite3_bind_text(stmt, 1, name.data(), int(name.size()), SQLITE_TRANSIENT);
    std::optional<TTileRecord> found;
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        TTileRecord r;
        r.FetchedMs = sqlite3_column_int64(stmt, 0);
        r.LifetimeS = sqlite3_column_int64(stmt, 1);
        auto text = [&](int col) {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
            return p ? Validator(p) : std::string();
        };
        r.ETag = text(2);
        r.LastModified = text(3);
        found = std::move(r);
    }
    sqlite3_reset(stmt);
    return found;
}

void TFreshnessStore::Remember(const std::string& name, TTileRecord record) {
    std::lock_guard lock(Lock);
    Pending[name] = std::move(record);
    if (Pending.size() >= FlushCount || std::chrono::steady_clock::now() - LastFlush >= FlushAfter) FlushLocked();
}

void TFreshnessStore::Flush() {
    std::lock_guard lock(Lock);
    FlushLocked();
}

void TFreshnessStore::FlushLocked() {
    LastFlush = std::chrono::steady_clock::now();
    if (Pending.empty() || !Open()) return;
    auto* db = static_cast<sqlite3*>(Db);
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO tiles VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK)
        return;
    // Kept pending when the index is busy or full: the next flush tries again.
    bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (auto it = Pending.begin(); ok && it != Pending.end(); ++it) {
        const TTileRecord& r = it->second;
        sqlite3_bind_text(insert, 1, it->first.data(), int(it->first.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, r.FetchedMs);
        sqlite3_bind_int64(insert, 3, r.LifetimeS);
        sqlite3_bind_text(insert, 4, r.ETag.data(), int(r.ETag.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 5, r.LastModified.data(), int(r.LastModified.size()), SQLITE_STATIC);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) Pending.clear();
    else sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    // Beyond what a flush can hold the oldest knowledge is dropped rather than memory grown.
    if (Pending.size() > 64 * FlushCount) Pending.clear();
}
