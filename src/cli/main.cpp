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
#include <filesystem>
#include <iostream>
#include <map>

#include "AtlasThread.h"
#include "CliArgs.h"
#include "GenWorkerPool.h"
#include "AtomicFile.h"
#include "GenerationPlan.h"
#include "GenerationRun.h"
#include "MapDataFile.h"
#include "NumberFormat.h"
#include "ProgramPaths.h"
#include "Settings.h"
#include "TileCache.h"

namespace {

enum ExitCode { ExitWritten = 0, ExitError = 1, ExitUsage = 2, ExitTilesFailed = 3, ExitInterrupted = 130 };

std::atomic<bool> Interrupted{false};
extern "C" void OnInterrupt(int) { Interrupted = true; }

using Clock = std::chrono::steady_clock;

struct TPlanArgs {
    std::string Center, Zoom, Types, ViewType = "m", SettingsPath, CacheDir, Out;
    bool Yes = false;
    // Download workers: without a window no map view holds the sixth connection.
    int Connections = 6;
};

struct TResolvedPlan {
    TGenerationParams Params;
    int ViewType = 0;
    std::string CacheDir;
};

TResolvedPlan Resolve(const TPlanArgs& args) {
    TResolvedPlan r;
    const auto center = ParseCenterArg(args.Center);
    const auto zoom = ParseZoomArg(args.Zoom);
    r.Params.CenterLon = center.Lon;
    r.Params.CenterLat = center.Lat;
    r.Params.CurrentZoom = zoom.Min;
    r.Params.MaxZoom = zoom.Max;
    r.Params.Included = ParseTypesArg(args.Types);
    r.ViewType = ParseViewTypeArg(args.ViewType);

    const TDataLocations loc = DefaultDataLocations();
    LoadSettings(args.SettingsPath.empty() ? loc.SettingsFile : std::filesystem::path(args.SettingsPath));
    r.CacheDir = args.CacheDir.empty() ? loc.CacheDir : args.CacheDir;
    if (r.CacheDir.back() != '/') r.CacheDir += '/';
    // The plan is projected with the pair of the type the user looks at, as in the window.
    SelectActiveDelta(r.ViewType);
    return r;
}

// Prints the confirmation figures; false (with a message) for a plan no map data file can hold.
bool PrintFigures(const char* command, const TGenerationParams& params) {
    const TPlanFigures f = PlanFigures(params);
    const std::int64_t entries = PlannedEntryCount(params);
    std::cout << "zoom levels:       " << f.LevelCount << "\n"
              << "map size:          " << f.MapSize << "\n"
              << "maximum map size:  " << f.MaxMapSize << "\n"
              << "tiles per type:    " << f.TotalTiles << "\n"
              << "index entries:     " << entries << "\n";
    if (PlanFitsMapDataFile(entries)) return true;
    std::cerr << command << ": " << entries << " tiles cannot fit one map data file (it must stay under 2 GiB)\n";
    return false;
}

// Progress on stderr: one rewritten line on a terminal, a plain line every few seconds otherwise.
class TProgressLine {
public:
    TProgressLine(std::string what, std::int64_t total)
        : What(std::move(what)), Total(total), Tty(::isatty(STDERR_FILENO) == 1), Start(Clock::now()) {}

    void Update(std::int64_t done, bool force = false) {
        const auto now = Clock::now();
        const auto interval = Tty ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
        if (!force && now - Last < interval) return;
        Last = now;
        const double secs = std::chrono::duration<double>(now - Start).count();
        const double rate = secs > 0 ? double(done - First) / secs : 0;
        const double eta = rate > 0 ? double(Total - done) / rate : -1;
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s %lld/%lld tiles, %.1f tiles/s, ETA %s", What.c_str(), (long long)done,
                      (long long)Total, rate, FormatDuration(eta).c_str());
        if (Tty)
            std::fprintf(stderr, "\r%s\033[K", buf);
        else
            std::fprintf(stderr, "%s\n", buf);
        std::fflush(stderr);
    }
    void Baseline(std::int64_t done) { First = done; }
    void Finish(std::int64_t done) {
        Update(done, true);
        if (Tty) std::fputc('\n', stderr);
    }

private:
    std::string What;
    std::int64_t Total;
    std::int64_t First = 0;
    bool Tty;
    Clock::time_point Start;
    Clock::time_point Last{};
};

int RunPlan(const TPlanArgs& args) {
    return PrintFigures("plan", Resolve(args).Params) ? ExitWritten : ExitError;
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

int RunGenerate(const TPlanArgs& args) {
    const TResolvedPlan r = Resolve(args);
    if (!PrintFigures("generate", r.Params)) return ExitError;
    if (!args.Yes && !Confirm(args.Out)) return ExitError;

    TGenerationRun run;
    run.TakeSnapshot(r.Params, Settings.Deltas);
    run.Build(Settings.Deltas[std::size_t(r.ViewType)]);
    const std::int64_t total = run.Progress().Total;
    RemoveStaleTemporaryFiles(r.CacheDir);

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    TNoticeQueue notices;
    bool serviceDead = false;
    {
        TGenWorkerPool pool(&notices, r.CacheDir, Settings.Server, Settings.Limits, args.Connections);
        for (int t = 0; t < MapTypeCount; ++t) {
            const auto& list = run.TilePlan().List(t);
            for (std::size_t i = 0; i < list.size(); ++i) {
                const TMapTile& tile = list[i];
                if (pool.RequestGenTile(tile.Zoom, tile.X, tile.Y, std::string(1, tile.TypeCode), MapTypeCode(r.ViewType)))
                    run.TileCached(t, i);
            }
        }
        const std::int64_t cached = run.Progress().Done;
        if (cached > 0) std::cerr << cached << " of " << total << " tiles found in the cache\n";
        TProgressLine progress("downloading", total);
        progress.Baseline(cached);
        while (!run.Finished() && !Interrupted) {
            const TGenerationRun::TProgress p = run.Progress();
            progress.Update(p.Done + p.Failed);
            if (pool.ServiceNotAnswering()) {
                serviceDead = true;
                break;
            }
            const auto notice = notices.Take(std::chrono::milliseconds(100));
            if (!notice) continue;
            const TTileAddress a = ParseTileFileName(notice->Path);
            const char code = a.TypeCode.size() == 1 ? a.TypeCode[0] : '?';
            if (notice->Message == WM_TILESAVED)
                run.TileArrived(code, a.Zoom, a.X, a.Y);
            else if (notice->Message == WM_TILEFAILED)
                run.TileFailed(code, a.Zoom, a.X, a.Y);
        }
        if (run.Finished()) progress.Finish(run.Progress().Done + run.Progress().Failed);
        pool.StopGenWorkers();
    }
    if (Interrupted) {
        std::cerr << "\ngenerate: interrupted; the tiles downloaded so far stay in the cache, nothing was written\n";
        return ExitInterrupted;
    }
    if (serviceDead) {
        std::cerr << "\ngenerate: the tile service at " << Settings.Server.HostPattern
                  << " is not answering (no tile arrived, every download failed twice); nothing was written\n";
        return ExitTilesFailed;
    }
    if (!run.FailedTiles().empty()) {
        std::cerr << "generate: " << run.FailedTiles().size()
                  << " tiles could not be downloaded; no map data file was written\n";
        for (const auto& [code, zoom, x, y] : run.FailedTiles())
            std::cerr << "  " << code << " zoom " << zoom << " x " << x << " y " << y << "\n";
        std::cerr << "Run the same command again to fetch only the missing tiles.\n";
        return ExitTilesFailed;
    }

    const std::filesystem::path outDir = std::filesystem::path(args.Out).parent_path();
    RemoveStaleTemporaryFiles(outDir.empty() ? "." : outDir.string());
    TProgressLine writing("writing", total);
    TMapDataWriteReport report;
    try {
        report = WriteMapData(args.Out, run.Header(), run.TilePlan().AllLists(), r.CacheDir,
                              [&](std::int64_t done, std::int64_t) {
                                  if (Interrupted) throw TInterruptedWrite{};
                                  writing.Update(done);
                              });
    } catch (const TInterruptedWrite&) {
        std::cerr << "\ngenerate: interrupted while writing; " << args.Out << " was not written\n";
        return ExitInterrupted;
    }
    writing.Finish(total);
    std::cout << "written: " << args.Out << "\n";
    if (const std::string blank = BlankTilesLine(report.AllBlank()); !blank.empty()) std::cout << blank << "\n";
    return ExitWritten;
}

bool LooksLikeJpeg(const std::vector<std::uint8_t>& b) { return b.size() >= 4 && b[0] == 0xFF && b[1] == 0xD8; }

int RunInspect(const std::string& file, bool json) {
    TMapDataReader reader;
    if (const std::string error = reader.Open(file); !error.empty()) {
        std::cerr << "inspect: " << file << ": " << error << "\n";
        return ExitError;
    }
    const TMapDataHeader& h = reader.Header();
    std::map<int, std::int64_t> perZoom;
    std::array<std::int64_t, MapTypeCount> perType{};
    std::array<std::int64_t, MapTypeCount> emptyPerType{};  // blank images: missing or undecodable tiles
    std::int64_t empty = 0;
    std::vector<std::string> problems;
    const auto& entries = reader.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string key(entries[i].KeyText());
        const auto a = ParseTileKey(key);
        // The lookup gives a repeated key's first entry: no set of a million strings needed.
        if (reader.FindEntry(key) != std::int64_t(i)) problems.push_back("duplicate key " + key);
        if (!a) {
            problems.push_back("entry " + std::to_string(i) + ": malformed key '" + key + "'");
            continue;
        }
        const int t = MapTypeIndex(a->TypeCode);
        ++perZoom[a->Zoom];
        if (t >= 0) {
            ++perType[size_t(t)];
            if (!h.TypeIncluded[size_t(t)]) problems.push_back("key " + key + " has a type the header does not include");
        }
        if (a->Zoom < h.MinZoom || a->Zoom > h.MaxZoom) {
            problems.push_back("key " + key + " lies outside the zoom range");
        } else {
            const TTileRect& rc = h.TileRects[size_t(a->Zoom)];
            if (a->X < rc.Left || a->X > rc.Right || a->Y < rc.Top || a->Y > rc.Bottom)
                problems.push_back("key " + key + " lies outside its zoom's rectangle");
        }
        if (reader.ImageSize(i) == 0) {
            ++empty;
            if (t >= 0) ++emptyPerType[size_t(t)];
        } else if (const auto bytes = reader.ImageBytes(i); !bytes || !LooksLikeJpeg(*bytes)) {
            problems.push_back("key " + key + ": the image is not a JPEG stream");
        }
    }
    std::int64_t expected = 0;
    for (int z = h.MinZoom; z <= h.MaxZoom; ++z)
        for (int t = 0; t < MapTypeCount; ++t)
            if (h.TypeIncluded[size_t(t)]) expected += h.TileRects[size_t(z)].Count();
    if (expected != h.EntryCount)
        problems.push_back("the rectangles and types call for " + std::to_string(expected) + " entries, the header has " +
                           std::to_string(h.EntryCount));

    if (json) {
        nlohmann::json j;
        j["file"] = file;
        j["size"] = reader.FileSize();
        j["minZoom"] = h.MinZoom;
        j["maxZoom"] = h.MaxZoom;
        j["center"] = {h.CenterLon, h.CenterLat};
        for (int t = 0; t < MapTypeCount; ++t) {
            const std::string code = MapTypeCode(t);
            j["types"][code] = {{"included", h.TypeIncluded[size_t(t)] != 0},
                                {"deltas", {h.Deltas[size_t(t)].Lon, h.Deltas[size_t(t)].Lat}},
                                {"entries", perType[size_t(t)]},
                                {"emptyImages", emptyPerType[size_t(t)]}};
        }
        j["entryCount"] = h.EntryCount;
        for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
            const auto& rc = h.TileRects[size_t(z)];
            j["zooms"][std::to_string(z)] = {{"rect", {rc.Left, rc.Top, rc.Right, rc.Bottom}}, {"entries", perZoom[z]}};
        }
        j["emptyImages"] = empty;
        j["problems"] = problems;
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << "file:          " << file << " (" << reader.FileSize() << " bytes)\n"
                  << "zooms:         " << h.MinZoom << ".." << h.MaxZoom << "\n"
                  << "centre:        " << FormatReal(h.CenterLon) << ", " << FormatReal(h.CenterLat) << "\n"
                  << "entries:       " << h.EntryCount << "\n"
                  << "empty images:  " << empty << "\n";
        for (int t = 0; t < MapTypeCount; ++t)
            std::cout << "type " << MapTypes[size_t(t)].Code << ":        "
                      << (h.TypeIncluded[size_t(t)] ? "included" : "not included") << ", " << perType[size_t(t)]
                      << " entries (" << emptyPerType[size_t(t)] << " blank), offsets " << FormatReal(h.Deltas[size_t(t)].Lon) << ", "
                      << FormatReal(h.Deltas[size_t(t)].Lat) << "\n";
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

void AddPlanOptions(CLI::App* cmd, TPlanArgs& a) {
    cmd->add_option("--center", a.Center, "centre as LON,LAT (calibrated degrees)")->required();
    cmd->add_option("--zoom", a.Zoom, "first zoom, or MIN-MAX, within 5..17")->required();
    cmd->add_option("--types", a.Types, "comma-separated map types: m road, p terrain, s satellite, y satellite with roads")
        ->required();
    cmd->add_option("--view-type", a.ViewType, "map type whose calibration pair projects the centre (default m)");
    cmd->add_option("--settings", a.SettingsPath, "settings file (default: the program's AtlasPocket.Ini)");
}

}  // namespace

int main(int argc, char** argv) {
    InitDownloads();
    CLI::App app{"atlaspocket-cli: make map data files for the phone application without a window"};
    app.require_subcommand(1);
    TPlanArgs planArgs, genArgs;
    std::string inspectFile;
    bool inspectJson = false;

    auto* plan = app.add_subcommand("plan", "print the figures of a generation plan");
    AddPlanOptions(plan, planArgs);
    auto* gen = app.add_subcommand("generate", "download the tiles of a plan and write the map data file");
    AddPlanOptions(gen, genArgs);
    gen->add_option("--out", genArgs.Out, "map data file to write (*.Dat)")->required();
    gen->add_option("--cache", genArgs.CacheDir, "tile cache directory (default: the program's FileMap)");
    gen->add_flag("--yes", genArgs.Yes, "do not ask before downloading");
    gen->add_option("--connections", genArgs.Connections, "download connections at once, 1..6 (default 6)")
        ->check(CLI::Range(1, 6));
    auto* inspect = app.add_subcommand("inspect", "print the header, counts and consistency of a map data file");
    inspect->add_option("file", inspectFile, "map data file")->required();
    inspect->add_flag("--json", inspectJson, "print JSON");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitUsage;
    }
    try {
        if (*plan) return RunPlan(planArgs);
        if (*gen) return RunGenerate(genArgs);
        return RunInspect(inspectFile, inspectJson);
    } catch (const TUsageError& e) {
        std::cerr << e.what() << "\n";
        return ExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return ExitError;
    }
}
