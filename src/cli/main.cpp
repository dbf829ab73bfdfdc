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
#include <iostream>
#include <map>
#include <set>

#include "AtlasThread.h"
#include "CliArgs.h"
#include "GenWorkerPool.h"
#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "MapDataInspect.h"
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

int RunGenerate(const TPlanArgs& args) {
    const TResolvedPlan r = Resolve(args);
    if (!PrintFigures("generate", r.Params)) return ExitError;
    if (!args.Yes && !Confirm(args.Out)) return ExitError;

    TMapDataHeader header;
    header.MinZoom = r.Params.CurrentZoom;
    header.MaxZoom = r.Params.MaxZoom;
    for (int i = 0; i < MapTypeCount; ++i) header.TypeIncluded[size_t(i)] = r.Params.Included[size_t(i)] ? 1 : 0;
    header.CenterLon = r.Params.CenterLon;
    header.CenterLat = r.Params.CenterLat;
    header.Deltas = Settings.Deltas;
    TGenerationPlan plan;
    plan.Build(r.Params, header);
    const std::int64_t total = plan.TotalCount();

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    TNoticeQueue notices;
    std::vector<TTileAddress> failed;
    {
        TGenWorkerPool pool(&notices, r.CacheDir, Settings.Server);
        std::int64_t outstanding = 0;
        for (int t = 0; t < MapTypeCount; ++t) {
            const auto& list = plan.List(t);
            for (std::size_t i = 0; i < list.size(); ++i) {
                const TMapTile& tile = list[i];
                if (pool.RequestGenTile(tile.Zoom, tile.X, tile.Y, std::string(1, tile.TypeCode),
                                        MapTypeCode(r.ViewType)))
                    plan.SetDone(t, i);
                else
                    ++outstanding;
            }
        }
        const std::int64_t cached = plan.DoneTiles();
        if (cached > 0) std::cerr << cached << " of " << total << " tiles found in the cache\n";
        TProgressLine progress("downloading", total);
        progress.Baseline(cached);
        while (outstanding > 0 && !Interrupted) {
            progress.Update(plan.DoneTiles() + std::int64_t(failed.size()));
            const auto notice = notices.Take(std::chrono::milliseconds(100));
            if (!notice) continue;
            const TTileAddress a = ParseTileFileName(notice->Path);
            const char code = a.TypeCode.size() == 1 ? a.TypeCode[0] : '?';
            if (notice->Message == WM_TILESAVED) {
                if (plan.MarkTileDone(code, a.Zoom, a.X, a.Y)) --outstanding;
            } else if (notice->Message == WM_TILEFAILED) {
                failed.push_back(a);
                --outstanding;
            }
        }
        if (outstanding == 0) progress.Finish(plan.DoneTiles() + std::int64_t(failed.size()));
        pool.StopGenWorkers();
    }
    if (Interrupted) {
        std::cerr << "\ngenerate: interrupted; the tiles downloaded so far stay in the cache, nothing was written\n";
        return ExitInterrupted;
    }
    if (!failed.empty()) {
        std::cerr << "generate: " << failed.size() << " tiles could not be downloaded; no map data file was written\n";
        for (const auto& a : failed) std::cerr << "  " << a.TypeCode << " zoom " << a.Zoom << " x " << a.X << " y " << a.Y << "\n";
        std::cerr << "Run the same command again to fetch only the missing tiles.\n";
        return ExitTilesFailed;
    }

    TProgressLine writing("writing", total);
    WriteMapData(args.Out, header, plan.AllLists(), r.CacheDir,
                 [&](std::int64_t done, std::int64_t) { writing.Update(done); });
    writing.Finish(total);
    std::cout << "written: " << args.Out << "\n";
    return ExitWritten;
}

int RunInspect(const std::string& file, bool json) {
    TMapDataReader reader;
    if (const std::string error = reader.Open(file); !error.empty()) {
        std::cerr << "inspect: " << file << ": " << error << "\n";
        return ExitError;
    }
    const TMapDataHeader& h = reader.Header();
    TMapDataInspection report = InspectMapData(reader);
    auto& perZoom = report.PerZoom;
    const auto& perType = report.PerType;
    const std::int64_t empty = report.EmptyImages;
    const auto& problems = report.Problems;

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
                                {"entries", perType[size_t(t)]}};
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
                      << " entries, offsets " << FormatReal(h.Deltas[size_t(t)].Lon) << ", "
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
