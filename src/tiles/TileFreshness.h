// What the cache remembers of each fetched tile, so that an expired tile is
// asked again cheaply: when it was fetched and the server's validators and
// freshness. One SQLite index per cache folder, written in batches without a
// sync of its own: a record lost to a crash only means its tile is asked
// again. A tile without a record (cached before there was an index, or its
// record lost) counts as fetched at its file time, with no validators.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

struct TTileRecord {
    std::int64_t FetchedMs = 0;   // Unix time in milliseconds
    std::int64_t LifetimeS = -1;  // what the server said the tile stays fresh, in seconds; -1 nothing
    std::string ETag;
    std::string LastModified;
};

// The caching headers of one answer, as received.
struct TCacheHeaders {
    std::string ETag;
    std::string LastModified;
    std::string CacheControl;
    std::string Expires;
    std::string Date;
};
// Seconds the answer stays fresh: max-age (or 0 for no-cache / no-store), else
// Expires minus Date (or minus now); -1 when the headers say nothing usable.
std::int64_t FreshnessLifetime(const TCacheHeaders& headers);
// The record of an answer received now; validators it lacks come from before.
TTileRecord RecordOf(const TCacheHeaders& headers, const TTileRecord& before = {});
std::int64_t NowMs();

// Validators longer than this are no validator (a hostile header stays out of the index).
inline constexpr std::size_t MaxValidatorBytes = 512;

class TFreshnessStore {
public:
    // The one store of the folder in this process; opened on first use.
    static std::shared_ptr<TFreshnessStore> ForFolder(const std::string& folder);
    explicit TFreshnessStore(std::string folder);
    ~TFreshnessStore();  // writes what is pending
    TFreshnessStore(const TFreshnessStore&) = delete;
    TFreshnessStore& operator=(const TFreshnessStore&) = delete;

    // name: the tile's path below the folder. Any thread.
    std::optional<TTileRecord> Find(const std::string& name);
    void Remember(const std::string& name, TTileRecord record);
    // Writes the pending records in one transaction.
    void Flush();

    static constexpr const char* FileName = "freshness.sqlite";

private:
    bool Open();  // under Lock
    void FlushLocked();

    const std::string Folder;
    std::mutex Lock;
    void* Db = nullptr;      // sqlite3
    void* Select = nullptr;  // sqlite3_stmt
    bool OpenFailed = false;
    std::unordered_map<std::string, TTileRecord> Pending;
    std::chrono::steady_clock::time_point LastFlush = std::chrono::steady_clock::now();
};
