// atlaspocket-cli: the generation run without a window. It plans, downloads
// through the same worker pool and writes the same map data file as the
// program, and inspects map data files.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "AtlasThread.h"
#include "ChinaShift.h"
#include "AtlasVersion.h"
#include "CliArgs.h"
#include "GenWorkerPool.h"
#include "AtomicFile.h"
#include "GenerationPlan.h"
#include "GenerationRun.h"
#include "MapDataFile.h"
#include "MapDataInspect.h"
#include "SourceGate.h"
#include "NumberFormat.h"
#include "PlanEstimates.h"
#include "ProgramPaths.h"
#include "Rectify.h"
#include "Settings.h"
#include "TileCache.h"
#include "TilesetFile.h"

namespace {

enum ExitCode {
    ExitWritten = 0,
    ExitError = 1,
    ExitUsage = 2,
    ExitTilesFailed = 3,
    ExitAccessRefused = 4,
    ExitNoRoom = 5,
    ExitInterrupted = 130,
};
constexpr const char* ExitCodesHelp =
    "Exit codes: 0 written, 1 error, 2 usage, 3 tiles could not be downloaded or the service is not answering, "
    "4 the tile service refuses access (HTTP 401, 403 or 451), 5 the cache or output folder cannot take the "
    "tiles or the file (full, read-only, refused), 130 interrupted. Nothing is written unless the code is 0.";

std::atomic<bool> Interrupted{false};
extern "C" void OnInterrupt(int) { Interrupted = true; }

using Clock = std::chrono::steady_clock;

struct TPlanArgs {
    std::string Center, Zoom, Types, ViewType = "m", SettingsPath, CacheDir, Out;
    std::string MbTiles, SqliteDb, TilesetType, Attribution;
    std::vector<std::string> SourceUrls;  // T=TEMPLATE, for this run only
    bool Yes = false;
    bool AutoCalibrate = false;
    bool Rectify = false;
    // Download workers: without a window no map view holds the sixth connection.
    int Connections = 6;
    double Rate = -1;  // --rate: requests per second to every source; below 0 the settings' own
    int MaxAge = -1;   // --max-age: days a cached tile serves in this run; below 0 the settings' own
    bool NoRefresh = false;
    bool Json = false;  // generate --json: one JSON object on stdout at the end
};

struct TExportArgs {
    std::string File, Type, MbTiles, SqliteDb, Attribution;
};

// The tileset files a command was asked for, in the order they are written.
std::vector<std::pair<std::string, TTilesetFormat>> TilesetOutputs(const std::string& mbtiles,
                                                                   const std::string& sqlitedb) {
    std::vector<std::pair<std::string, TTilesetFormat>> outputs;
    if (!mbtiles.empty()) outputs.emplace_back(mbtiles, TTilesetFormat::MbTiles);
    if (!sqlitedb.empty()) outputs.emplace_back(sqlitedb, TTilesetFormat::SqliteDb);
    return outputs;
}

const char* FormatName(TTilesetFormat format) { return format == TTilesetFormat::MbTiles ? "MBTiles" : "sqlitedb"; }

struct TResolvedPlan {
    TGenerationParams Params;
    TMapType ViewType = TMapType::Road;
    TDeltaPair Pair;  // the view type's pair: the plan is projected with it, as in the window
    std::string CacheDir;
    // The settings file's values with this run's options applied.
    TAtlasSettings Settings;

    TTileCache Cache() const { return TTileCache(CacheDir, Settings.Server); }
};

// Road and terrain pairs for this run only: the shift at the centre. The
// settings file is left alone; the file's Deltas carry the pairs used.
void AutoCalibrate(TResolvedPlan& r) {
    const TDeltaPair shift = ChinaShift(r.Params.CenterLon, r.Params.CenterLat);
    r.Settings.Deltas[MapTypeIndex(TMapType::Road)] = r.Settings.Deltas[MapTypeIndex(TMapType::Terrain)] = shift;
}

// --source-url replaces the settings file's template of its type for this run.
void ApplySourceUrlArgs(const std::vector<std::string>& sourceUrls, TAtlasSettings& settings) {
    for (const std::string& text : sourceUrls) {
        const auto [type, urlTemplate] = ParseSourceUrlArg(text);
        settings.Server.UrlTemplates[MapTypeIndex(type)] = urlTemplate;
    }
    settings.SourceProblems = ServerConfigProblems(settings.Server);
}

// Nothing is planned or requested while a tile source cannot be used.
void RefuseUnusableSources(const TAtlasSettings& settings) {
    if (settings.SourceProblems.empty()) return;
    std::string text = "the tile sources cannot be used:";
    for (const TSourceProblem& problem : settings.SourceProblems) text += "\n  " + SourceProblemText(problem);
    throw std::runtime_error(text);
}

// The URL of the centre tile at the first zoom, per included type, to check a template before downloading.
void PrintCentreTileUrls(const TResolvedPlan& r) {
    const TGenerationParams& params = r.Params;
    const TTileRect rect = GetZoomRect(params, params.CurrentZoom, 1, r.Pair);
    const std::int32_t x = rect.Left + (rect.Right - rect.Left) / 2, y = rect.Top + (rect.Bottom - rect.Top) / 2;
    for (const TMapType type : AllMapTypes)
        if (params.Included[MapTypeIndex(type)])
            std::cout << "centre tile " << MapTypeCode(type) << ":     "
                      << BuildTileUrl(r.Settings.Server, 0, {type, params.CurrentZoom, x, y}) << "\n";
}

TResolvedPlan Resolve(const TPlanArgs& args) {
    TResolvedPlan r;
    const auto center = ParseCenterArg(args.Center);
    const auto zoom = ParseZoomArg(args.Zoom);
    r.Params.CenterLon = center.Lon;
    r.Params.CenterLat = center.Lat;
    r.Params.CurrentZoom = zoom.Min;
    r.Params.MaxZoom = zoom.Max;
    r.Params.Included = ParseTypesArg(args.Types);
    r.Params.Rectify = args.Rectify;
    r.ViewType = ParseViewTypeArg(args.ViewType);

    const TDataLocations loc = DefaultDataLocations();
    r.Settings = ReadSettings(args.SettingsPath.empty() ? loc.SettingsFile : std::filesystem::path(args.SettingsPath));
    TServerConfig& server = r.Settings.Server;
    ApplySourceUrlArgs(args.SourceUrls, r.Settings);
    if (args.Rate >= 0) server.Rates.fill(args.Rate);
    if (args.NoRefresh) server.RunRefresh = {TRefreshMode::NoRefresh, 0, NowMs()};
    else if (args.MaxAge >= 0) server.RunRefresh = {TRefreshMode::MaxAge, args.MaxAge, NowMs()};
    RefuseUnusableSources(r.Settings);
    r.CacheDir = FolderText(args.CacheDir.empty() ? loc.CacheDir : args.CacheDir);
    if (args.AutoCalibrate) AutoCalibrate(r);
    r.Pair = RunDeltas(r.Params, r.Settings.Deltas)[MapTypeIndex(r.ViewType)];
    return r;
}

// The residual and size figures; false (with a message) when even the
// smallest tiles could not fit the file.
bool PrintEstimates(const char* command, const TResolvedPlan& r) {
    const auto residual = r.Params.Rectify ? RectifiedResidual(r.Params, r.Pair)
                                           : CalibrationResidual(r.Params, r.Pair, r.Settings.Deltas);
    const TSizeEstimate size = EstimateMapDataSize(r.Params, r.Pair, r.Cache());
    std::cout << "calibration residual: "
              << (residual ? FormatFixed(*residual, r.Params.Rectify ? 2 : 1) + " m" +
                                 (r.Params.Rectify ? " (rectified)" : "")
                           : std::string("none (no road or terrain map included)"))
              << "\n"
              << "estimated size:    " << FormatByteSize(size.Bytes) << " (" << size.Bytes << " bytes)\n";
    for (const TMapType type : AllMapTypes) {
        const std::size_t t = MapTypeIndex(type);
        if (!r.Params.Included[size_t(t)]) continue;
        std::cout << "  " << MapTypeCode(type) << ": " << size.TileBytes[size_t(t)] << " bytes per tile, "
                  << (size.Samples[size_t(t)] >= SizeSampleMin
                          ? "measured on " + std::to_string(size.Samples[size_t(t)]) + " cached tiles"
                          : std::string("fixed figure (too few cached tiles)"))
                  << "\n";
    }
    if (!MinimumFits(size)) {
        std::cerr << command << ": even at " << SmallestTileBytes << " bytes per tile the " << size.Entries
                  << " tiles need " << FormatByteSize(size.MinimumBytes)
                  << "; a map data file must stay under 2 GiB\n";
        return false;
    }
    if (!EstimateFits(size))
        std::cerr << command << ": the estimated " << FormatByteSize(size.Bytes)
                  << " exceed the 2 GiB a map data file can hold; writing may fail after the download\n";
    return true;
}

void PrintCacheCounts(const TResolvedPlan& r) {
    const TCacheCounts c = CountCacheState(r.Params, r.Pair, r.Cache());
    std::cout << "tiles missing:     " << c.Missing << "\n"
              << "tiles expired:     " << c.Expired << "\n";
}

// Prints the confirmation figures; false (with a message) for a plan no map data file can hold.
bool PrintFigures(const char* command, const TGenerationParams& params, TDeltaPair pair) {
    const TPlanFigures f = PlanFigures(params, pair);
    const std::int64_t entries = PlannedEntryCount(params);
    std::cout << "zoom levels:       " << f.LevelCount << "\n"
              << "map size:          " << f.MapSize << "\n"
              << "maximum map size:  " << f.MaxMapSize << "\n"
              << "tiles per type:    " << f.TotalTiles << "\n"
              << "index entries:     " << entries << "\n";
    if (params.Rectify) {
        std::string types;
        for (const TMapType type : AllMapTypes)
            if (RectifiedTypes(params)[MapTypeIndex(type)])
                types += std::string(types.empty() ? "" : ", ") + std::string(MapTypeCode(type));
        std::cout << "rectified types:   " << (types.empty() ? std::string("none") : types) << "\n"
                  << "tiles to download: " << PlannedDownloadCount(params, pair) << "\n";
    }
    if (PlanFitsMapDataFile(entries)) return true;
    std::cerr << command << ": " << entries << " tiles cannot fit one map data file (it must stay under 2 GiB)\n";
    return false;
}

// Progress on stderr: one rewritten line on a terminal, a plain line every few seconds otherwise.
class TProgressLine {
public:
    TProgressLine(std::string what, std::int64_t total)
        : What(std::move(what)), Total(total), Tty(::isatty(STDERR_FILENO) == 1) {}

    // Said after the figures while the service has asked the run to wait.
    void SetPause(int seconds) {
        if (seconds == PausedSeconds) return;
        PausedSeconds = seconds;
        Last = {};
    }
    void Update(std::int64_t done, bool force = false) { Show(Rate.Figures(done, Total), force); }
    // The figures of a generation run, which keeps its own clock.
    void Show(const TRateFigures& f, bool force = false) {
        const auto now = Clock::now();
        const auto interval = Tty ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
        if (!force && now - Last < interval) return;
        Last = now;
        char buf[200];
        std::snprintf(buf, sizeof buf, "%s %lld/%lld tiles, %s tiles/s, ETA %s%s", What.c_str(), (long long)f.Done,
                      (long long)f.Total, FormatFixed(f.PerSecond, 1).c_str(), FormatDuration(f.SecondsLeft).c_str(),
                      PausedSeconds > 0 ? (", paused by the tile service for " + std::to_string(PausedSeconds) + " s").c_str()
                                        : "");
        if (Tty)
            std::fprintf(stderr, "\r%s\033[K", buf);
        else
            std::fprintf(stderr, "%s\n", buf);
        std::fflush(stderr);
    }
    void Baseline(std::int64_t done) { Rate.Start(done); }
    void Finish(std::int64_t done) { Finish(Rate.Figures(done, Total)); }
    void Finish(const TRateFigures& f) {
        Show(f, true);
        if (Tty) std::fputc('\n', stderr);
    }

private:
    std::string What;
    std::int64_t Total;
    int PausedSeconds = 0;
    bool Tty;
    TRateClock Rate;
    Clock::time_point Last{};
};

// Cache space the tiles not yet downloaded will take, from the plan's estimate per tile.
std::int64_t StillNeeded(const TResolvedPlan& r, std::int64_t tiles) {
    const TSizeEstimate size = EstimateMapDataSize(r.Params, r.Pair, r.Cache());
    return size.Entries > 0 ? size.Bytes / size.Entries * tiles : 0;
}

int RunPlan(const TPlanArgs& args) {
    const TResolvedPlan r = Resolve(args);
    if (!PrintFigures("plan", r.Params, r.Pair) || !PrintEstimates("plan", r)) return ExitError;
    PrintCacheCounts(r);
    PrintCentreTileUrls(r);
    return ExitWritten;
}

bool Confirm(const std::string& out) {
    if (::isatty(STDIN_FILENO) != 1) {
        std::cerr << "generate: not asking for confirmation because standard input is not a terminal; "
                     "pass --yes to go ahead\n";
        return false;
    }
    std::cerr << "Download the missing tiles and write " << out << "? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Thrown out of the writing by Ctrl-C: the temporary file goes, an existing output stays.
struct TInterruptedWrite {};

// "3 blank images (2 GIF tiles, which cannot be decoded, 1 not in the cache)"; empty when none.
std::string BlankTilesLine(const TBlankTiles& b) {
    if (b.Total() == 0) return {};
    std::string why;
    auto add = [&why](std::int64_t n, const char* text) {
        if (n == 0) return;
        if (!why.empty()) why += ", ";
        why += std::to_string(n) + " " + text;
    };
    add(b.Gif, "GIF tiles, which cannot be decoded");
    add(b.Damaged, "damaged images");
    add(b.Unrecognised, "unrecognised files");
    add(b.Missing, "not in the cache");
    add(b.OutsideGrid, "beyond the edge of the map");
    return std::to_string(b.Total()) + " tiles written as blank images (" + why + ")";
}

// "type m: 40 of 48 tiles are byte-identical (SHA-256 ...), ..."; empty unless many are.
std::string SameTilesLine(TMapType type, const TSameTiles& same) {
    if (!same.Many()) return {};
    return "type " + std::string(MapTypeCode(type)) + ": " + std::to_string(same.Count) + " of " +
           std::to_string(same.Tiles) + " tiles are byte-identical (SHA-256 " + same.Digest +
           "), perhaps the tile service's placeholder picture";
}

TMapType TypeArg(const char* option, const std::string& text) {
    const std::optional<TMapType> type = ParseMapType(text);
    if (!type) throw TUsageError(std::string(option) + ": '" + text + "' is not a map type (" + MapTypeCodes() + ")");
    return *type;
}

// The type the tileset files of a generation run hold: --tileset-type, or
// the viewed type when the plan includes it, or the first included one.
TMapType TilesetTypeOf(const TPlanArgs& args, const TResolvedPlan& r) {
    if (!args.TilesetType.empty()) {
        const TMapType t = TypeArg("--tileset-type", args.TilesetType);
        if (!r.Params.Included[MapTypeIndex(t)])
            throw TUsageError("--tileset-type: type '" + args.TilesetType + "' is not among --types");
        return t;
    }
    if (r.Params.Included[MapTypeIndex(r.ViewType)]) return r.ViewType;
    for (const TMapType t : AllMapTypes)
        if (r.Params.Included[MapTypeIndex(t)]) return t;
    return TMapType::Road;
}

void WriteGeneratedTileset(const TPlanArgs& args, const TResolvedPlan& r, const TMapDataHeader& header,
                           const TGenerationPlan& plan, const std::string& fileName, TTilesetFormat format) {
    const TMapType type = TilesetTypeOf(args, r);
    const auto& list = plan.List(type);
    TProgressLine writing(std::string("writing ") + FormatName(format), std::int64_t(list.size()));
    TTilesetOptions options;
    options.Format = format;
    options.Attribution = args.Attribution;
    const std::int64_t n = WriteTilesetFromCache(fileName, header, type, list, r.Cache(),
                                                 options, [&](std::int64_t done, std::int64_t) { writing.Update(done); });
    writing.Finish(std::int64_t(list.size()));
    std::cout << "written: " << fileName << " (" << n << " tiles of type " << MapTypeCode(type) << ")\n";
}

// What a generate run did, for its closing lines and for --json.
struct TGenerateReport {
    TGenerationRun Run;
    std::vector<std::string> Written;  // the files, in the order written
    TBlankTiles Blank;
    std::array<TSameTiles, MapTypeCount> Same{};
    std::string StopReason;  // empty when the run was not stopped
    std::string Message;     // why the run ended without writing, as said on stderr
};

// Ends the run: says why on stderr and keeps it for the report.
int EndRun(TGenerateReport& report, int code, std::string reason, const std::string& message) {
    std::cerr << message << "\n";
    report.StopReason = std::move(reason);
    report.Message = message;
    return code;
}

// The run's downloads: requests, waits for the notices, stops the workers.
class TGenerateDownload {
public:
    TGenerateDownload(const TResolvedPlan& r, int connections, TGenerationRun& run)
        : Plan(r), Run(run), Pool(&Notices, r.CacheDir, r.Settings.Server, r.Settings.Limits, connections) {}

    // Requests every planned tile; the exit code when the run cannot go on.
    std::optional<int> All(TGenerateReport& report) {
        Run.RequestTiles(Request());
        if (const std::int64_t cached = Run.Progress().Done; cached > 0)
            std::cerr << cached << " of " << Run.Progress().Total << " tiles found in the cache\n";
        return Wait(report);
    }
    // Cached files that no longer decode, fetched again.
    std::optional<int> Again(const std::vector<TTileId>& tiles, TGenerateReport& report) {
        Run.RequestAgain(tiles, Request());
        return Wait(report);
    }

private:
    TGenerationRun::TRequest Request() {
        return [this](const TTileId& tile) {
            return Pool.RequestGenTile(tile);
        };
    }
    std::optional<int> Wait(TGenerateReport& report) {
        TProgressLine progress("downloading", Run.Progress().Total);
        while (!Run.Finished()) {
            if (Interrupted) Run.Stop(TRunStatus::Interrupted);
            if (const TRunStop stop = Pool.StopReason(); stop.Reason != TStopReason::None)
                Run.Stop(StatusOfStop(stop.Reason), stop);
            progress.SetPause(Pool.PausedSeconds());
            progress.Show(Run.Figures());
            if (const auto notice = Notices.Take(std::chrono::milliseconds(100))) Run.HandleNotice(*notice);
        }
        if (!IsEarlyStop(Run.Status())) progress.Finish(Run.Figures());
        Pool.StopGenWorkers();
        return Verdict(Run.EndDownload(Plan.Cache()), report);
    }
    std::optional<int> Verdict(TRunStatus status, TGenerateReport& report) const;

    const TResolvedPlan& Plan;
    TGenerationRun& Run;
    TNoticeQueue Notices;
    TGenWorkerPool Pool;
};

std::optional<int> TGenerateDownload::Verdict(TRunStatus status, TGenerateReport& report) const {
    const TRunStop& stop = Run.StopDetail();
    switch (status) {
    case TRunStatus::Downloaded:
        // Tiles are saved without a sync each: one for all before anything is written from them.
        Plan.Cache().Sync();
        return std::nullopt;
    case TRunStatus::ServiceDead:
        return EndRun(report, ExitTilesFailed, "serviceNotAnswering",
                      "\ngenerate: the tile service at " + stop.Host +
                          " is not answering (no tile arrived, every download failed twice); nothing was written");
    case TRunStatus::AccessRefused:
        return EndRun(report, ExitAccessRefused, "accessRefused",
                      "\ngenerate: the tile service at " + stop.Host + " refuses access (HTTP " +
                          std::to_string(stop.HttpStatus) + " for " + std::to_string(RefusalsToStop) +
                          " different tiles, none arrived since); stopped early, nothing was written");
    case TRunStatus::CacheFull: {
        const TGenerationRun::TProgress p = Run.Progress();
        return EndRun(report, ExitNoRoom, "cacheWriteFailed",
                      "\ngenerate: cannot write into the cache folder " + stop.Folder + ": " + std::strerror(stop.Errno) +
                          "; the plan still needs about " + FormatByteSize(StillNeeded(Plan, p.Total - p.Done)) + " for " +
                          std::to_string(p.Total - p.Done) + " tiles; stopped, nothing was written");
    }
    case TRunStatus::TilesFailed: {
        std::cerr << "generate: " << Run.FailedTiles().size()
                  << " tiles could not be downloaded; no map data file was written\n";
        for (const auto& [tile, why] : Run.FailedTiles())
            std::cerr << "  " << MapTypeCode(tile.Type) << " zoom " << tile.Zoom << " x " << tile.X << " y " << tile.Y
                      << (FaultText(why).empty() ? "" : ": ") << FaultText(why) << "\n";
        return EndRun(report, ExitTilesFailed, "tilesFailed", "Run the same command again to fetch only the missing tiles.");
    }
    case TRunStatus::Idle:
    case TRunStatus::Downloading:
    case TRunStatus::Writing:
    case TRunStatus::Cancelled:
    case TRunStatus::Closing:
    case TRunStatus::Interrupted: break;
    }
    return EndRun(report, ExitInterrupted, "interrupted",
                  "\ngenerate: interrupted; the tiles downloaded so far stay in the cache, nothing was written");
}

// The download's figures, and why expired tiles serve as cached.
void PrintOutcomes(const TGenerationRun& run) {
    const TGenerationRun::TOutcomes& o = run.Outcomes();
    std::cout << "downloaded: " << o.Downloaded << ", revalidated unchanged: " << o.Unchanged
              << ", updated: " << o.Updated << ", kept stale: " << o.KeptStale << "\n";
    if (o.KeptStale == 0) return;
    const std::string why = run.StopDetail().Reason == TStopReason::ServiceNotAnswering
                                ? "the tile service at " + run.StopDetail().Host + " is not answering"
                                : FaultText(run.StaleWhy());
    std::cerr << "generate: " << o.KeptStale << " expired tiles could not be asked again and serve as cached (" << why
              << ")\n";
}

// Refuses a folder without room for the file before writing starts rather than failing near the end.
std::optional<int> RefuseFullFolder(const TResolvedPlan& r, const std::string& out, TGenerateReport& report) {
    const std::filesystem::path outDir = std::filesystem::path(out).parent_path();
    const std::filesystem::path folder = outDir.empty() ? "." : outDir;
    RemoveStaleTemporaryFiles(folder.string());
    const std::int64_t needed = EstimateMapDataSize(r.Params, r.Pair, r.Cache()).Bytes;
    std::error_code ec;
    const auto space = std::filesystem::space(folder, ec);
    if (ec || std::int64_t(space.available) >= needed) return std::nullopt;
    return EndRun(report, ExitNoRoom, "outputFolderFull",
                  "generate: the folder " + folder.string() + " has " + FormatByteSize(std::int64_t(space.available)) +
                      " free, the map data file needs about " + FormatByteSize(needed) + "; nothing was written");
}

// One pass of the writer; with refuseUndecodable nothing is written when a cached tile no longer decodes.
TMapDataWriteReport WriteMapDataOnce(const TResolvedPlan& r, const TGenerationRun& run, const std::string& out,
                                     bool refuseUndecodable) {
    const std::int64_t entries = run.Header().EntryCount;
    TProgressLine writing("writing", entries);
    const TTileCache cache = r.Cache();
    auto progress = [&](std::int64_t done, std::int64_t) {
        if (Interrupted) throw TInterruptedWrite{};
        writing.Update(done);
    };
    // A rectified write lists the squares it writes; its undecodable tiles
    // are the shifted sources at fault, which the plan holds.
    const TMapDataWriteReport report =
        r.Params.Rectify ? WriteMapData(out, run.Header(), run.OutputLists(), cache, progress, MapDataMaxFileSize, 0,
                                        refuseUndecodable, RectifiedTypes(r.Params))
                         : WriteMapData(out, run.Header(), run.TilePlan().AllLists(), cache, progress,
                                        MapDataMaxFileSize, 0, refuseUndecodable);
    writing.Finish(entries);
    return report;
}

// Writes the map data file. A cached file that no longer decodes is fetched
// again rather than written blank; the second write takes whatever the cache holds then.
std::optional<int> WriteMapDataFile(const TResolvedPlan& r, const std::string& out, TGenerationRun& run,
                                    TGenerateDownload& download, TGenerateReport& report) {
    if (const auto full = RefuseFullFolder(r, out, report)) return full;
    TMapDataWriteReport written;
    try {
        written = WriteMapDataOnce(r, run, out, true);
        if (!written.Written) {
            std::cerr << "generate: " << written.Undecodable.size()
                      << " cached tiles no longer decode; fetching them again\n";
            const TTileCache cache = r.Cache();
            for (const TTileId& tile : written.Undecodable) {
                std::error_code ec;
                std::filesystem::remove(cache.Path(tile), ec);
            }
            if (const auto failed = download.Again(written.Undecodable, report)) return failed;
            written = WriteMapDataOnce(r, run, out, false);
        }
    } catch (const TInterruptedWrite&) {
        return EndRun(report, ExitInterrupted, "interrupted",
                      "\ngenerate: interrupted while writing; " + out + " was not written");
    }
    report.Written.push_back(out);
    report.Blank = written.AllBlank();
    report.Same = written.Same;
    std::cout << "written: " << out << "\n";
    if (const std::string blank = BlankTilesLine(report.Blank); !blank.empty()) std::cout << blank << "\n";
    for (const TMapType type : AllMapTypes)
        if (const std::string same = SameTilesLine(type, report.Same[MapTypeIndex(type)]); !same.empty())
            std::cout << "warning: " << same << "\n";
    return std::nullopt;
}

// The figures, the estimates and the question before a download; false when the run goes no further.
bool ConfirmPlan(const TPlanArgs& args, const TResolvedPlan& r, const std::string& firstOutput) {
    if (!PrintFigures("generate", r.Params, r.Pair) || !PrintEstimates("generate", r)) return false;
    PrintCacheCounts(r);
    return args.Yes || Confirm(firstOutput);
}

// Downloads, then writes every file asked for; the exit code.
int Generate(const TPlanArgs& args, TGenerateReport& report) {
    const auto tilesets = TilesetOutputs(args.MbTiles, args.SqliteDb);
    if (args.Out.empty() && tilesets.empty()) throw TUsageError("generate: give --out, --mbtiles, --sqlitedb or several");
    const TResolvedPlan r = Resolve(args);
    // A wrong type is refused before downloading; a tileset holds the tiles as
    // downloaded, which for a rectified type are the shifted sources.
    if (!tilesets.empty() && RectifiedTypes(r.Params)[MapTypeIndex(TilesetTypeOf(args, r))])
        throw TUsageError("generate: --mbtiles and --sqlitedb hold the shifted tiles as downloaded; with --rectify "
                          "give them a satellite type with --tileset-type, or leave out one of the two");
    if (!ConfirmPlan(args, r, args.Out.empty() ? tilesets.front().first : args.Out)) return ExitError;

    TGenerationRun& run = report.Run;
    run.TakeSnapshot(r.Params, r.Settings.Deltas);
    run.Build(r.Pair);
    RemoveStaleTemporaryFiles(r.CacheDir);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    TGenerateDownload download(r, args.Connections, run);
    if (const auto ended = download.All(report)) return *ended;
    PrintOutcomes(run);
    if (!args.Out.empty())
        if (const auto ended = WriteMapDataFile(r, args.Out, run, download, report)) return *ended;
    for (const auto& [fileName, format] : tilesets) {
        WriteGeneratedTileset(args, r, run.Header(), run.TilePlan(), fileName, format);
        report.Written.push_back(fileName);
    }
    return ExitWritten;
}

nlohmann::json ReportJson(const TGenerateReport& report, int exitCode, const std::string& error) {
    nlohmann::json j;
    j["exitCode"] = exitCode;
    j["written"] = report.Written;
    const TGenerationRun::TOutcomes& o = report.Run.Outcomes();
    j["tiles"] = {{"total", report.Run.Progress().Total},
                  {"fromCache", o.Cached},
                  {"downloaded", o.Downloaded},
                  {"unchanged", o.Unchanged},
                  {"updated", o.Updated},
                  {"keptStale", o.KeptStale},
                  {"failed", report.Run.FailedTiles().size()}};
    j["failedTiles"] = nlohmann::json::array();
    for (const auto& [tile, why] : report.Run.FailedTiles())
        j["failedTiles"].push_back({{"tile", TileKey(tile)}, {"reason", FaultText(why)}});
    const TBlankTiles& b = report.Blank;
    j["blankTiles"] = {{"total", b.Total()},       {"gif", b.Gif},         {"damaged", b.Damaged},
                       {"unrecognised", b.Unrecognised}, {"missing", b.Missing}, {"outsideGrid", b.OutsideGrid}};
    j["sameImages"] = nlohmann::json::object();
    for (const TMapType type : AllMapTypes)
        if (const TSameTiles& same = report.Same[MapTypeIndex(type)]; same.Many())
            j["sameImages"][std::string(MapTypeCode(type))] = {{"count", same.Count}, {"tiles", same.Tiles}, {"sha256", same.Digest}};
    j["stop"] = report.StopReason.empty() ? nlohmann::json(nullptr)
                                          : nlohmann::json{{"reason", report.StopReason}, {"message", report.Message}};
    if (!error.empty()) j["error"] = error;
    return j;
}

// With --json, standard output holds the one object at the end; what the run
// says meanwhile goes to standard error.
class TJsonOutput {
public:
    explicit TJsonOutput(bool on) : Saved(on ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr) {}
    ~TJsonOutput() { Restore(); }
    void Print(const TGenerateReport& report, int exitCode, const std::string& error = {}) {
        if (!Saved) return;
        Restore();
        std::cout << ReportJson(report, exitCode, error).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << "\n";
    }

private:
    void Restore() {
        if (Saved) std::cout.rdbuf(std::exchange(Saved, nullptr));
    }
    std::streambuf* Saved;
};

int RunGenerate(const TPlanArgs& args) {
    TGenerateReport report;
    TJsonOutput json(args.Json);
    try {
        const int code = Generate(args, report);
        json.Print(report, code);
        return code;
    } catch (const TUsageError& e) {
        json.Print(report, ExitUsage, e.what());
        throw;
    } catch (const std::exception& e) {
        json.Print(report, ExitError, e.what());
        throw;
    }
}

// The reader's messages are the window's; here they are said in English, the
// window's verdict on a foreign file quoted after it.
std::string ReaderErrorText(const TReadError& e) {
    if (e.Text == MapDataMissingText) return "no such file";
    if (e.Text == MapDataForeignText) return std::string("not a map data file of this program (\"") + MapDataForeignText + "\")";
    if (e.Errno != 0) return std::strerror(e.Errno);
    return e.Text;
}

int RunInspect(const std::string& file, bool json) {
    TMapDataReader reader;
    if (const auto opened = reader.Open(file); !opened) {
        std::cerr << "inspect: " << file << ": " << ReaderErrorText(opened.Error()) << "\n";
        return ExitError;
    }
    const TMapDataHeader& h = reader.Header();
    TMapDataInspection report = InspectMapData(reader);
    auto& perZoom = report.PerZoom;
    const auto& perType = report.PerType;
    const std::int64_t empty = report.EmptyImages;
    const auto& emptyPerType = report.EmptyPerType;
    const auto& problems = report.Problems;

    if (json) {
        nlohmann::json j;
        j["file"] = file;
        j["size"] = reader.FileSize();
        j["minZoom"] = h.MinZoom;
        j["maxZoom"] = h.MaxZoom;
        j["center"] = {h.CenterLon, h.CenterLat};
        for (const TMapType type : AllMapTypes) {
            const std::size_t t = MapTypeIndex(type);
            const std::string code(MapTypeCode(type));
            j["types"][code] = {{"included", h.TypeIncluded[size_t(t)] != 0},
                                {"deltas", {h.Deltas[size_t(t)].Lon, h.Deltas[size_t(t)].Lat}},
                                {"entries", perType[size_t(t)]},
                                {"emptyImages", emptyPerType[size_t(t)]},
                                {"rectified", IsRectifiedInFile(h, type)}};
            const TSameTiles& same = report.SamePerType[size_t(t)];
            j["types"][code]["sameImages"] = {{"count", same.Count}, {"sha256", same.Digest}, {"many", same.Many()}};
        }
        j["entryCount"] = h.EntryCount;
        for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
            const auto& rc = h.TileRects[size_t(z)];
            j["zooms"][std::to_string(z)] = {{"rect", {rc.Left, rc.Top, rc.Right, rc.Bottom}}, {"entries", perZoom[z]}};
        }
        j["emptyImages"] = empty;
        for (const auto& [name, found] : {std::pair{"nonCanonicalKeys", &report.NonCanonicalKeys},
                                          std::pair{"repeatedTiles", &report.RepeatedTiles},
                                          std::pair{"missingTiles", &report.MissingTiles}})
            j[name] = {{"count", found->Count}, {"first", found->Names}};
        j["problems"] = problems;
        // Keys and problems are printable ASCII already; only a file name
        // given in another encoding than UTF-8 needs replacing.
        std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
        std::cout << "file:          " << file << " (" << reader.FileSize() << " bytes)\n"
                  << "zooms:         " << h.MinZoom << ".." << h.MaxZoom << "\n"
                  << "centre:        " << FormatReal(h.CenterLon) << ", " << FormatReal(h.CenterLat) << "\n"
                  << "entries:       " << h.EntryCount << "\n"
                  << "empty images:  " << empty << "\n";
        for (const TMapType type : AllMapTypes) {
            const std::size_t t = MapTypeIndex(type);
            std::cout << "type " << MapTypeCode(type) << ":        "
                      << (h.TypeIncluded[size_t(t)] ? "included" : "not included") << ", " << perType[size_t(t)]
                      << " entries (" << emptyPerType[size_t(t)] << " blank), offsets " << FormatReal(h.Deltas[size_t(t)].Lon) << ", "
                      << FormatReal(h.Deltas[size_t(t)].Lat)
                      << (IsRectifiedInFile(h, type) ? " (rectified: true coordinates)" : "") << "\n";
        }
        for (const TMapType type : AllMapTypes)
            if (const std::string same = SameTilesLine(type, report.SamePerType[MapTypeIndex(type)]); !same.empty())
                std::cout << "same images:   " << same << "\n";
        for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
            const auto& rc = h.TileRects[size_t(z)];
            std::cout << "zoom " << z << ":" << (z < 10 ? " " : "") << "       " << perZoom[z] << " entries, tiles ("
                      << rc.Left << ", " << rc.Top << ") .. (" << rc.Right << ", " << rc.Bottom << ")\n";
        }
        if (problems.empty()) {
            std::cout << "consistent:    yes\n";
        } else {
            std::cout << "problems:      " << problems.size() << "\n";
            for (const auto& p : problems) std::cout << "  " << p << "\n";
        }
    }
    return problems.empty() ? ExitWritten : ExitError;
}

int RunExport(const TExportArgs& args) {
    const auto outputs = TilesetOutputs(args.MbTiles, args.SqliteDb);
    if (outputs.empty()) throw TUsageError("export: give --mbtiles, --sqlitedb or both");
    const TMapType type = TypeArg("--type", args.Type);
    TMapDataReader reader;
    if (const auto opened = reader.Open(args.File); !opened) {
        std::cerr << "export: " << args.File << ": " << ReaderErrorText(opened.Error()) << "\n";
        return ExitError;
    }
    for (const auto& [fileName, format] : outputs) {
        std::optional<TProgressLine> progress;
        TTilesetOptions options;
        options.Format = format;
        options.Attribution = args.Attribution;
        const std::int64_t n = ExportTileset(reader, type, fileName, options, [&](std::int64_t done, std::int64_t total) {
            if (!progress) {
                progress.emplace(std::string("exporting ") + FormatName(format), total);
                progress->Baseline(done);
            }
            if (done == total)
                progress->Finish(done);
            else
                progress->Update(done);
        });
        std::cout << "written: " << fileName << " (" << n << " tiles)\n";
    }
    return ExitWritten;
}

void AddExportCommand(CLI::App& app, TExportArgs& a) {
    auto* cmd = app.add_subcommand("export", "write one map type of a map data file as an MBTiles or sqlitedb tileset");
    cmd->add_option("file", a.File, "map data file (*.Dat)")->required();
    cmd->add_option("--type", a.Type, "map type to export: m, p, s or y")->required();
    cmd->add_option("--mbtiles", a.MbTiles, "MBTiles file to write");
    cmd->add_option("--sqlitedb", a.SqliteDb, "sqlitedb file (BigPlanet/RMaps layout, as OsmAnd reads it) to write");
    cmd->add_option("--attribution", a.Attribution, "attribution text stored in the MBTiles metadata");
}

void AddPlanOptions(CLI::App* cmd, TPlanArgs& a) {
    cmd->add_option("--center", a.Center, "centre as LON,LAT (calibrated degrees)")->required();
    cmd->add_option("--zoom", a.Zoom, "first zoom, or MIN-MAX, within 5..17")->required();
    cmd->add_option("--types", a.Types, "comma-separated map types: " + MapTypeCodesNamed())
        ->required();
    cmd->add_option("--view-type", a.ViewType, "map type whose calibration pair projects the centre (default m)");
    cmd->add_option("--settings", a.SettingsPath, "settings file (default: the program's AtlasPocket.Ini)");
    cmd->add_option("--cache", a.CacheDir, "tile cache directory (default: the program's FileMap)");
    cmd->add_flag("--auto-calibrate", a.AutoCalibrate,
                  "use the national shift at the centre as the road and terrain offsets for this run");
    cmd->add_flag("--rectify", a.Rectify,
                  "write the road and terrain maps in true coordinates, resampled from the shifted tiles "
                  "(their offsets in the file become zero)");
    cmd->add_option("--source-url", a.SourceUrls,
                    "T=TEMPLATE: tiles of type T from this URL template for this run, e.g. "
                    "s=https://tiles.example/{z}/{x}/{y}.jpg ({s} or {s:0-3} for a server number); repeatable")
        ->take_all();
}

}  // namespace

int main(int argc, char** argv) {
    if (!InitDownloads()) {
        std::cerr << "error: libcurl could not be initialised\n";
        return ExitError;
    }
    CLI::App app{"atlaspocket-cli: make map data files for the phone application without a window"};
    app.footer(ExitCodesHelp);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("atlaspocket-cli ") + AtlasVersion);
    TPlanArgs planArgs, genArgs;
    TExportArgs exportArgs;
    std::string inspectFile;
    bool inspectJson = false;

    auto* plan = app.add_subcommand("plan", "print the figures of a generation plan");
    AddPlanOptions(plan, planArgs);
    auto* gen = app.add_subcommand("generate", "download the tiles of a plan and write the map data file");
    AddPlanOptions(gen, genArgs);
    gen->add_option("--out", genArgs.Out, "map data file to write (*.Dat)");
    gen->add_option("--mbtiles", genArgs.MbTiles, "also (or instead) write one type as an MBTiles tileset");
    gen->add_option("--sqlitedb", genArgs.SqliteDb, "also (or instead) write one type as a sqlitedb tileset");
    gen->add_option("--tileset-type,--mbtiles-type", genArgs.TilesetType,
                    "type of the MBTiles and sqlitedb tilesets (default: the viewed type)");
    gen->add_option("--attribution", genArgs.Attribution, "attribution text of the MBTiles tileset");
    gen->add_flag("--yes", genArgs.Yes, "do not ask before downloading");
    gen->add_flag("--json", genArgs.Json,
                  "at the end print one JSON object on stdout (exit code, files written, tile counts, failed tiles "
                  "with reasons, blank tiles, same images, stop reason); everything else goes to stderr");
    gen->add_option("--connections", genArgs.Connections, "download connections at once, 1..6 (default 6)")
        ->check(CLI::Range(1, 6));
    gen->add_option("--rate", genArgs.Rate,
                    "requests per second to each tile source, 0 for no limit (default: [ATLAS_SOURCE] RATE_X)")
        ->check(CLI::Range(0.0, 1000.0));
    for (auto* cmd : {plan, gen}) {
        TPlanArgs& a = cmd == plan ? planArgs : genArgs;
        auto* maxAge = cmd->add_option("--max-age", a.MaxAge,
                                       "days a cached tile serves in this run; 0 asks again every cached tile "
                                       "(default: [ATLAS_SOURCE] MAX_AGE_DAYS_X)")
                           ->check(CLI::Range(0, MaxAgeDaysLimit));
        cmd->add_flag("--no-refresh", a.NoRefresh, "use whatever is cached, however old")->excludes(maxAge);
    }
    auto* inspect = app.add_subcommand("inspect", "print the header, counts and consistency of a map data file");
    inspect->add_option("file", inspectFile, "map data file")->required();
    inspect->add_flag("--json", inspectJson, "print JSON");
    AddExportCommand(app, exportArgs);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitUsage;
    }
    try {
        if (*plan) return RunPlan(planArgs);
        if (*gen) return RunGenerate(genArgs);
        if (app.got_subcommand("export")) return RunExport(exportArgs);
        return RunInspect(inspectFile, inspectJson);
    } catch (const TUsageError& e) {
        std::cerr << e.what() << "\n";
        return ExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return ExitError;
    }
}
