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
    std::vector<std::string> SourceUrls;  // T=TEMPLATE, for this run only
    bool Yes = false;
};

struct TResolvedPlan {
    TGenerationParams Params;
    int ViewType = 0;
    std::string CacheDir;
};

// --source-url replaces the settings file's template of its type for this run.
void ApplySourceUrlArgs(const std::vector<std::string>& sourceUrls) {
    for (const std::string& text : sourceUrls) {
        const auto [type, urlTemplate] = ParseSourceUrlArg(text);
        Settings.Server.UrlTemplates[size_t(type)] = urlTemplate;
    }
    Settings.SourceProblems = ServerConfigProblems(Settings.Server);
}

// Nothing is planned or requested while a tile source cannot be used.
void RefuseUnusableSources() {
    if (Settings.SourceProblems.empty()) return;
    std::string text = "the tile sources cannot be used:";
    for (const std::string& problem : Settings.SourceProblems) text += "\n  " + problem;
    throw std::runtime_error(text);
}

// The URL of the centre tile at the first zoom, per included type, to check a template before downloading.
void PrintCentreTileUrls(const TGenerationParams& params) {
    const TTileRect rect = GetZoomRect(params, params.CurrentZoom, 1);
    const std::int32_t x = rect.Left + (rect.Right - rect.Left) / 2, y = rect.Top + (rect.Bottom - rect.Top) / 2;
    for (int t = 0; t < MapTypeCount; ++t)
        if (params.Included[size_t(t)])
            std::cout << "centre tile " << MapTypeCode(t) << ":     "
                      << BuildTileUrl(Settings.Server, 0, MapTypeCode(t), x, y, params.CurrentZoom) << "\n";
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
    r.ViewType = ParseViewTypeArg(args.ViewType);

    const TDataLocations loc = DefaultDataLocations();
    LoadSettings(args.SettingsPath.empty() ? loc.SettingsFile : std::filesystem::path(args.SettingsPath));
    ApplySourceUrlArgs(args.SourceUrls);
    RefuseUnusableSources();
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
    const TResolvedPlan r = Resolve(args);
    if (!PrintFigures("plan", r.Params)) return ExitError;
    PrintCentreTileUrls(r.Params);
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
    std::int64_t empty = 0;
    std::vector<std::string> problems;
    std::set<std::string> seen;
    const auto& entries = reader.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string key(entries[i].KeyText());
        const auto a = ParseTileKey(key);
        if (!seen.insert(key).second) problems.push_back("duplicate key " + key);
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
    cmd->add_option("--source-url", a.SourceUrls,
                    "T=TEMPLATE: tiles of type T from this URL template for this run, e.g. "
                    "s=https://tiles.example/{z}/{x}/{y}.jpg ({s} or {s:0-3} for a server number); repeatable")
        ->take_all();
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
