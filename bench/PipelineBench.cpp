// Figures for the generation pipeline: download throughput against the local
// tile server, the map data writer against a plain decode+encode loop, and
// the memory a large plan takes. Prints figures; asserts nothing.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "AtlasThread.h"
#include "GenWorkerPool.h"
#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "Rectify.h"
#include "TileCache.h"
#include "FileRead.h"
#include "TileImage.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of every thread of the process, user and system.
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

TGenerationParams RoadRun() {
    TGenerationParams p;
    p.CenterLon = 123.4259;
    p.CenterLat = 41.8123;
    p.CurrentZoom = 10;
    p.MaxZoom = 12;
    p.Included = {true, false, false, false};
    return p;
}

void DownloadBench(const TServerConfig& server, const std::string& cacheDir, int latencyMs) {
    TMapDataHeader header;
    TGenerationPlan plan;
    plan.Build(RoadRun(), TDeltaPair{}, header);
    TNoticeQueue notices;
    const auto start = Clock::now();
    std::int64_t outstanding = 0;
    {
        TGenWorkerPool pool(&notices, cacheDir, server);
        for (const TMapTile& t : plan.List(TMapType::Road))
            if (!pool.RequestGenTile(t.Id())) ++outstanding;
        std::int64_t failed = 0;
        while (outstanding > 0) {
            auto n = notices.Take(std::chrono::seconds(60));
            if (!n) break;
            if (n->Kind == TNoticeKind::TileFailed) ++failed;
            --outstanding;
        }
        pool.StopGenWorkers();
        if (failed) std::printf("  (%lld tiles failed)\n", (long long)failed);
    }
    const double wall = Seconds(start);
    const double tiles = double(plan.TotalCount());
    const double ideal6 = tiles * latencyMs / 1000.0 / 6.0;
    const double ideal5 = tiles * latencyMs / 1000.0 / TGenWorkerPool::MaxWorkers;
    std::printf("download: %.0f tiles in %.2f s = %.1f tiles/s (latency %d ms per request, cold cache)\n", tiles, wall,
                tiles / wall, latencyMs);
    std::printf("  ratio to ideal wall time, 6 connections (%.2f s): %.3f\n", ideal6, ideal6 / wall);
    std::printf("  ratio to ideal wall time, the pool's 5 connections (%.2f s): %.3f\n", ideal5, ideal5 / wall);
}

void WriterBench(const TServerConfig& server, const std::string& cacheDir, const std::string& workDir) {
    TMapDataHeader header;
    TGenerationPlan plan;
    plan.Build(RoadRun(), TDeltaPair{}, header);
    const double tiles = double(plan.TotalCount());
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    double bestSingle = 1e9, bestAll = 1e9, bestLoop = 1e9;
    const TTileCache cache(cacheDir, server);
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        WriteMapData(workDir + "/bench1.Dat", header, plan.AllLists(), cache, {}, MapDataMaxFileSize, 1);
        bestSingle = std::min(bestSingle, Seconds(start));

        start = Clock::now();
        WriteMapData(workDir + "/benchN.Dat", header, plan.AllLists(), cache);
        bestAll = std::min(bestAll, Seconds(start));

        start = Clock::now();
        std::size_t bytes = 0;
        for (const TMapTile& t : plan.List(TMapType::Road)) {
            // The way the writer worked before it read each tile once.
            const std::string path = cache.Path(t.Id());
            const auto type = GetTileFileType(path);
            if (!type || type->empty()) continue;
            const auto body = ReadRegularFile(path, MaxTileFileBytes);
            const auto bmp = body ? DecodeTileBytes(*body, *type) : TReadResult<TBitmap>(body.Error());
            if (bmp) bytes += EncodeJpeg(*bmp, 90).size();
        }
        bestLoop = std::min(bestLoop, Seconds(start));
        if (bytes == 0) std::printf("  (the loop found no tiles)\n");
    }
    std::printf("writer: plain single-threaded decode+encode loop %.0f tiles/s\n", tiles / bestLoop);
    std::printf("  WriteMapData, 1 encoder: %.0f tiles/s, ratio to the loop %.3f\n", tiles / bestSingle,
                bestLoop / bestSingle);
    std::printf("  WriteMapData, %d encoders (all cores): %.0f tiles/s, ratio to %d x the loop %.3f (target >= 0.8)\n",
                cores, tiles / bestAll, cores, bestLoop / bestAll / cores);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const bool same = slurp(workDir + "/bench1.Dat") == slurp(workDir + "/benchN.Dat");
    std::printf("  output of %d encoders byte-identical to 1 encoder's: %s\n", cores, same ? "yes" : "NO");
}

// The rectified writer against the plain one on all cores, the same plan:
// each rectified tile decodes its shifted sources (most from the window of
// decoded tiles), resamples and encodes.
void RectifiedWriterBench(const TServerConfig& server, const std::string& cacheDir, const std::string& workDir) {
    TGenerationParams params = RoadRun();
    params.Rectify = true;
    TMapDataHeader header = SnapshotHeader(params, TAtlasSettings().Deltas);
    TGenerationPlan plan;
    plan.Build(params, TDeltaPair{}, header);
    {
        // The shifted sources beyond the plain plan's squares.
        TNoticeQueue notices;
        TGenWorkerPool pool(&notices, cacheDir, server);
        std::int64_t outstanding = 0;
        for (const TMapTile& t : plan.List(TMapType::Road))
            if (!pool.RequestGenTile(t.Id())) ++outstanding;
        while (outstanding > 0 && notices.Take(std::chrono::seconds(60))) --outstanding;
        pool.StopGenWorkers();
    }
    TMapDataHeader plainHeader;
    TGenerationPlan plainPlan;
    plainPlan.Build(RoadRun(), TDeltaPair{}, plainHeader);
    const auto rectified = RectifiedTypes(params);
    const auto lists = OutputTileLists(plan, header, rectified);
    const TTileCache cache(cacheDir, server);
    double bestPlain = 1e9, bestRectified = 1e9, cpuPlain = 1e9, cpuRectified = 1e9;
    TMapDataWriteReport report;
    for (int round = 0; round < 5; ++round) {
        auto start = Clock::now();
        double cpu = CpuSeconds();
        WriteMapData(workDir + "/plain.Dat", plainHeader, plainPlan.AllLists(), cache);
        bestPlain = std::min(bestPlain, Seconds(start));
        cpuPlain = std::min(cpuPlain, CpuSeconds() - cpu);
        start = Clock::now();
        cpu = CpuSeconds();
        report = WriteMapData(workDir + "/rectified.Dat", header, lists, cache, {}, MapDataMaxFileSize, 0, false, rectified);
        bestRectified = std::min(bestRectified, Seconds(start));
        cpuRectified = std::min(cpuRectified, CpuSeconds() - cpu);
    }
    const double tiles = double(header.EntryCount);
    std::printf("writer, all cores: plain %.0f tiles/s, rectified %.0f tiles/s, ratio %.3f (target >= 0.5)%s\n",
                tiles / bestPlain, tiles / bestRectified, bestPlain / bestRectified,
                report.AllBlank().Total() ? " (some tiles blank)" : "");
    // Processor time does not depend on what else the machine runs: the ratio the wall clock reaches when idle.
    std::printf("  processor time per tile: plain %.3f ms, rectified %.3f ms, ratio %.3f\n", cpuPlain / tiles * 1e3,
                cpuRectified / tiles * 1e3, cpuPlain / cpuRectified);
    std::printf("  rectified plan downloads %lld tiles for %lld written\n", (long long)plan.TotalCount(),
                (long long)header.EntryCount);
}

void MemoryBench(const std::string& workDir) {
    TGenerationParams p = RoadRun();
    p.MaxZoom = 17;
    p.Included = {true, true, true, true};
    TMapDataHeader header;
    ResetPeak();
    const long before = StatusKb("VmHWM:");
    TGenerationPlan plan;
    plan.Build(p, TDeltaPair{}, header);
    const long afterPlan = StatusKb("VmHWM:");
    const double tiles = double(plan.TotalCount());
    std::printf("memory: plan of %.0f tiles (zoom 10-17, four types): peak +%.1f MiB = %.1f bytes per planned tile\n",
                tiles, (afterPlan - before) / 1024.0, (afterPlan - before) * 1024.0 / tiles);
    // Writing that plan from an empty cache: every image is empty, the index is all there is.
    const std::string emptyCache = workDir + "/empty-cache/";
    std::filesystem::create_directories(emptyCache);
    ResetPeak();
    const long beforeWrite = StatusKb("VmHWM:");
    const auto start = Clock::now();
    WriteMapData(workDir + "/big.Dat", header, plan.AllLists(), TTileCache(emptyCache, TServerConfig{}));
    const long afterWrite = StatusKb("VmHWM:");
    std::printf("  writing its %.0f MiB index: %.1f s, peak +%.1f MiB = %.1f bytes per tile beyond the plan\n",
                std::filesystem::file_size(workDir + "/big.Dat") / 1048576.0, Seconds(start),
                (afterWrite - beforeWrite) / 1024.0, (afterWrite - beforeWrite) * 1024.0 / tiles);
    // Opening it as the viewer and inspect do: the index read, checked and sorted for lookups.
    for (int round = 0; round < 2; ++round) {
        ResetPeak();
        const long beforeOpen = StatusKb("VmHWM:");
        const auto opened = Clock::now();
        TMapDataReader reader;
        const std::string error = ErrorText(reader.Open(workDir + "/big.Dat"));
        const double openSeconds = Seconds(opened);
        const long afterOpen = StatusKb("VmHWM:");
        if (round == 0) continue;  // the first round warms the page cache
        std::printf("reader: opening %zu entries%s: %.3f s (target < 0.4 s per million = %.3f s), peak +%.1f MiB "
                    "(target < 64 MiB per million = %.1f MiB)\n",
                    reader.Entries().size(), error.empty() ? "" : " FAILED", openSeconds,
                    0.4 * double(reader.Entries().size()) / 1e6, (afterOpen - beforeOpen) / 1024.0,
                    64.0 * double(reader.Entries().size()) / 1e6);
    }
    std::filesystem::remove(workDir + "/big.Dat");
}

// The requests of the standard job (or of the same job down to maxZoom) as a
// curl config, for the floor bench/run measures curl against.
void PrintCurlConfig(int port, int maxZoom) {
    TServerConfig server;
    server.HostPattern = "127.0.0.1";
    server.Port = port;
    TMapDataHeader header;
    TGenerationPlan plan;
    TGenerationParams run = RoadRun();
    run.MaxZoom = maxZoom;
    plan.Build(run, TDeltaPair{}, header);
    for (const TMapTile& t : plan.List(TMapType::Road))
        std::printf("url = \"%s\"\noutput = /dev/null\n", BuildTileUrl(server, 0, t.Id()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--curl-config") == 0) {
        PrintCurlConfig(std::atoi(argv[2]), argc == 4 ? std::atoi(argv[3]) : RoadRun().MaxZoom);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: pipeline_bench PORT LATENCY_MS WORKDIR | pipeline_bench --curl-config PORT [MAX_ZOOM]\n");
        return 2;
    }
    InitDownloads();
    TServerConfig server;
    server.HostPattern = "127.0.0.1";
    server.Port = std::atoi(argv[1]);
    server.Referer = "http://127.0.0.1";
    const int latency = std::atoi(argv[2]);
    const std::string workDir = argv[3];
    const std::string cacheDir = workDir + "/FileMap/";
    std::filesystem::remove_all(cacheDir);
    DownloadBench(server, cacheDir, latency);
    WriterBench(server, cacheDir, workDir);
    RectifiedWriterBench(server, cacheDir, workDir);
    MemoryBench(workDir);
    return 0;
}
