// Where the tiles of each map type come from. By default every type uses the
// tile service's own request, built from the host pattern, port and Referer of
// [ATLAS_SERVER]; a URL template of [ATLAS_SOURCE] replaces it for its type.
// Every check of these values lives here, so that the window and the CLI
// refuse the same entries for the same reasons; a reason is a value
// (TSourceProblem), said in English by SourceProblemText and in Chinese by
// the window (src/ui ReasonText).
//
// Template syntax: an http:// or https:// URL holding {x}, {y} and {z} (tile
// column, row and zoom) and optionally one server placeholder: {s} (0..3),
// {s:N-M} (decimal numbers N..M) or {s:a-d} (letters a..d). No other
// placeholder, no blank, no user name and no '%' are allowed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AtlasAppType.h"

inline constexpr const char* DefaultUserAgent = "Mozilla/4.0 (compatible; MSTE 6.0; Windows NT 5.1; SV1; Maxthon)";

// A run's own word on cached tiles, over the settings: generate --max-age
// (Days, 0 asks again every tile fetched before the run started) or
// --no-refresh (whatever is cached serves).
enum class TRefreshMode { Settings, MaxAge, NoRefresh };
struct TRunRefresh {
    TRefreshMode Mode = TRefreshMode::Settings;
    int Days = 0;
    std::int64_t StartedMs = 0;  // Unix milliseconds; MaxAge 0 asks again what is older
};

inline constexpr int MaxAgeDaysLimit = 3650;
// What a template source's own freshness headers are held to, and their default.
inline constexpr int MinServerAgeDays = 1;
inline constexpr int MaxServerAgeDays = 365;
inline constexpr int DefaultServerAgeDays = 7;

struct TServerConfig {
    std::string HostPattern = "mt%d.google.cn";  // "%d" becomes the server number 0..3
    int Port = 80;
    std::string Referer = "http://ditu.google.cn";
    // [ATLAS_SOURCE], in map type order. An empty entry keeps the default.
    std::array<std::string, MapTypeCount> UrlTemplates{};  // URL_M, URL_P, URL_S, URL_Y
    std::array<std::string, MapTypeCount> Referers{};      // REFERER_M ... REFERER_Y
    std::string UserAgent;                      // USER_AGENT
    // CONNECTIONS_M ...: transfers of the type's source at once, 1..6; 0 keeps
    // the default (every worker for the default source, two for a template).
    std::array<int, MapTypeCount> Connections{};
    // RATE_M ...: requests per second to the type's source; 0 is no limit.
    std::array<double, MapTypeCount> Rates{};
    // PLACEHOLDER_M ...: SHA-256 digests (hex, comma-separated) of pictures
    // the type's source sends in place of tiles ("no data", "blocked"), as read.
    std::array<std::string, MapTypeCount> Placeholders{};
    // MAX_AGE_DAYS_M ...: days a cached tile of the type serves before it is
    // asked again, 0 forever; -1 (unset) is forever for the default source and
    // the server's freshness headers (clamped, a week without) for a template.
    std::array<int, MapTypeCount> MaxAgeDays{-1, -1, -1, -1};
    TRunRefresh RunRefresh;  // set by a run, never read from the settings
    std::string CaFile;                         // CA_FILE: certificates trusted besides the system's
    // [ATLAS_SERVER] KEEP_ALIVE: a worker reuses its connection for the next
    // request; false opens one connection per attempt.
    bool KeepAlive = true;
};

// Why an entry cannot be used; None when it can.
enum class TSourceProblemKind {
    None,
    CommentInValue,     // Char: a blank or ';' (or any blank or control character in a template)
    HostCannotHold,     // Char
    NoHost,
    HostTooLong,        // beyond 253 characters
    EmptyHostPart,      // nothing between two dots
    HostPartTooLong,    // beyond 63 characters
    HostPartHyphen,     // a part begins or ends with '-'
    Ipv6NotClosed,
    Ipv6CannotHold,     // Char
    CloseBraceAlone,
    OpenBraceAlone,
    PercentOutsideD,    // a HOST pattern's '%' not in "%d"
    NotHttp,
    UnknownPlaceholder,  // Item: its name
    MissingPlaceholder,  // Item: "{x}", "{y}" or "{z}"
    BadPercentEscape,
    UserInfo,
    Ipv6WithoutPort,     // something else than ':port' or the path after "]"
    BadPort,
    NotADigest,          // Item: the list's item
};

struct TSourceProblem {
    TSourceProblemKind Kind = TSourceProblemKind::None;
    char Char = 0;
    std::string Item;
    // Set by ServerConfigProblems: the entry, and its value when the text shows it.
    std::string Section, Key;
    std::optional<std::string> Value;

    explicit operator bool() const { return Kind != TSourceProblemKind::None; }
    bool operator==(const TSourceProblem&) const = default;
};

// The English text of the command line: "[SECTION] KEY: why: \"value\"" for an entry.
std::string SourceProblemText(const TSourceProblem& problem);

// Why a [ATLAS_SERVER] HOST pattern cannot name a host.
TSourceProblem HostPatternProblem(const std::string& pattern);
// Why a URL template cannot be used.
TSourceProblem UrlTemplateProblem(const std::string& urlTemplate);
// Why a PLACEHOLDER_X list is not a comma-separated list of SHA-256 digests
// (64 hex digits each, blanks around them allowed).
TSourceProblem PlaceholderListProblem(const std::string& list);
// The type's placeholder digests in lower-case hex; none when its list has a problem.
std::vector<std::string> PlaceholderDigests(const TServerConfig& server, TMapType type);
// Every problem of a configuration, each naming its section and key.
std::vector<TSourceProblem> ServerConfigProblems(const TServerConfig& server);

// The type has its own template.
bool HasOwnTemplate(const TServerConfig& server, TMapType type);
// Tiles of the type may be requested: its template, or the default source, is
// valid, and so is its placeholder list (without it, ban pictures would be cached).
bool SourceUsable(const TServerConfig& server, TMapType type);

// How many server numbers a type's source offers to choose from (1 without {s}).
int ServerChoiceCount(const TServerConfig& server, TMapType type);
// The template filled in; choice is taken modulo the server range.
std::string ExpandUrlTemplate(const std::string& urlTemplate, int choice, std::int32_t x, std::int32_t y,
                              std::int32_t zoom);

// FNV-1a 64 of the template text, the first 12 of its 16 lower-case hex digits:
// the same on every run and machine, so a cache folder keeps its tiles.
std::string SourceDigest(const std::string& urlTemplate);

// Connections a template source gets unless CONNECTIONS_X says otherwise:
// tile usage policies ask for modest parallelism.
inline constexpr int DefaultTemplateConnections = 2;
inline constexpr int MaxSourceConnections = 6;
// The transfers the type's source may have at once; 0 is no limit of its own.
int SourceConnections(const TServerConfig& server, TMapType type);
// Types that share one source (the default one, or the same template) share
// its pace, pauses and refusals: the key is the same for them.
std::string SourceKey(const TServerConfig& server, TMapType type);

// What a request sends besides its URL.
struct TRequestIdentity {
    std::string Referer;
    std::string UserAgent;
    std::string CaFile;
    bool HostWithPort = false;  // templates name a non-default port in the Host header
    bool SecureOnly = false;    // an https template never follows a redirect to plain http
    bool KeepAlive = true;      // the connection may serve the next request
};
// Without a type: the default source's identity.
TRequestIdentity RequestIdentity(const TServerConfig& server, std::optional<TMapType> type);
