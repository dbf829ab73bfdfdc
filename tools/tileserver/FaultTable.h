// Faults the tile server injects into its answers, set on the command line or
// at run time through the control endpoint. Thread-safe: the server's request
// threads match against the table while a test changes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AtlasAppType.h"

// "m/10/5/7": how the statistics and the fault rules name a tile.
std::string TileKeyText(const TTileId& tile);

enum class TFaultMode {
    Html,            // 200 with an HTML page
    Gzip,            // the PNG gzip-compressed, Content-Encoding: gzip
    Status404Image,  // the tile with status 404
    Redirect,        // Param hops of 302 before the tile
    Reset,           // headers and Param body bytes, then the connection closes
    SlowBody,        // the body spread over Param milliseconds
    FailFirst,       // HTML for the first Param attempts of the tile, then the tile
    Gif,             // a small valid GIF
    JpegExif,        // a JPEG starting FF D8 FF E1
    Garbage,         // bytes no decoder knows
    Empty,           // 200 with no body
    Pad,             // the tile with Param bytes appended (still a valid signature)
    SlowFail,        // an HTML page after Param milliseconds
    Status,          // an HTML page with status Param
    RetryAfter,      // 503 with "Retry-After: Param" (seconds)
    RateLimit,       // 429 with "Retry-After: Param" (seconds)
    RefuseAfter,     // the tile for the first Param requests the rule sees, then 403
    BigPng,          // a PNG whose header claims Param x Param pixels
    Picture,         // one Param x Param PNG, the same bytes for every tile (a "blocked" picture)
};

struct TFaultRule {
    std::optional<TMapType> Type;  // empty: any
    std::optional<int> Zoom, X, Y;
    TFaultMode Mode = TFaultMode::Html;
    long Param = 0;
    long Remaining = -1;  // requests left to hit; -1: no limit
    int FirstAttempts = 0;  // only each tile's first this many requests; 0: all
    std::optional<std::chrono::steady_clock::time_point> Until;  // only before then
    bool Matches(const TTileId& key) const;
};

// "html", "redirect", ... ; false for an unknown name.
bool ParseFaultMode(const std::string& name, TFaultMode& mode);
// "TYPE/Z/X/Y=MODE[:PARAM][#FIRST][~MS][@COUNT]" with "*" for any part, e.g.
// "*/*/*/*=failfirst:1". #FIRST limits the rule to each tile's first FIRST
// requests, ~MS to the first MS milliseconds after it was set.
// Throws std::invalid_argument with the reason.
TFaultRule ParseFaultRule(const std::string& rule);
// A default parameter per mode where the rule gives none.
long DefaultFaultParam(TFaultMode mode);

class TFaultTable {
public:
    void Add(TFaultRule fault);
    void Clear();
    // The latest fault that matches the tile's attempt (1 for its first
    // request), its use counted; empty when none.
    std::optional<TFaultRule> Take(const TTileId& key, int attempt);

private:
    std::mutex Mutex;
    std::vector<TFaultRule> Faults;
};
