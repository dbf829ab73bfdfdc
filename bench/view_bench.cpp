// Prints how fast the map view rebuilds its mosaic from a warm tile cache
// (tiles decoded and drawn per second, 1920x1080 view) and what one pan step
// costs when it does not grow the mosaic. Runs offscreen; no network.
#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "AtlasClass.h"
#include "TileCache.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A tile with some texture, so PNG decoding does real work.
void WriteTile(const fs::path& dir, int zoom, int x, int y) {
    QImage tile(256, 256, QImage::Format_RGB32);
    for (int py = 0; py < 256; ++py)
        for (int px = 0; px < 256; ++px)
            tile.setPixel(px, py, qRgb((px * 7 + x * 31) & 0xFF, (py * 5 + y * 17) & 0xFF, ((px ^ py) * 3) & 0xFF));
    tile.save(QString::fromStdString((dir / TileFileName("m", zoom, x, y)).string()), "PNG");
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Settings.Server.HostPattern = "127.0.0.1";
    Settings.Server.Port = 9;  // nothing is requested from a warm cache
    SetActiveDelta({0, 0});

    const int zoom = 12;
    const fs::path cache = fs::temp_directory_path() / ("atlas_view_bench_" + std::to_string(getpid()));
    fs::create_directories(cache);
    const TGlobalPixel centre = LonLatToPixel(zoom, Settings.InitialLon, Settings.InitialLat);
    const int cx = centre.X / 256, cy = centre.Y / 256;
    for (int y = cy - 6; y <= cy + 6; ++y)
        for (int x = cx - 6; x <= cx + 6; ++x) WriteTile(cache, zoom, x, y);

    QWidget panel;
    panel.resize(1920, 1080);
    panel.show();
    int rc = 0;
    {
        TAtlasClass view(&panel, &panel, TMapZoom(zoom), cache.string());
        view.show();
        const TTileRect r = view.TileRect();
        const long long tilesPerRebuild = r.Count();

        const int rebuilds = 20;
        const auto t0 = Clock::now();
        for (int i = 0; i < rebuilds; ++i) view.SetCenter(Settings.InitialLon, Settings.InitialLat);
        const double rebuildSeconds = Seconds(Clock::now() - t0);
        std::printf("mosaic rebuild, 1920x1080 view, %lld tiles (%lldx%lld) from a warm cache:\n", tilesPerRebuild,
                    static_cast<long long>(r.Width()), static_cast<long long>(r.Height()));
        std::printf("  %.1f ms per rebuild (target < 40 ms), %.0f tiles decoded and drawn per second\n",
                    1000 * rebuildSeconds / rebuilds,
                    double(tilesPerRebuild) * rebuilds / rebuildSeconds);

        // Drag back and forth by 5 pixels: the mosaic covers the view, so it only moves.
        QWidget* mosaic = view.MosaicWidget();
        const QPointF down(800, 600);
        QMouseEvent press(QEvent::MouseButtonPress, down, mosaic->mapToGlobal(down), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(mosaic, &press);
        const TTileRect before = view.TileRect();
        const int steps = 20000;
        const auto t1 = Clock::now();
        for (int i = 0; i < steps; ++i) {
            const QPointF at(down.x() + (i % 2 ? -5 : 5), down.y());
            QMouseEvent move(QEvent::MouseMove, at, mosaic->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(mosaic, &move);
        }
        const double panSeconds = Seconds(Clock::now() - t1);
        std::printf("pan step without growth: %.2f us per step (%d steps)\n", 1e6 * panSeconds / steps, steps);
        if (!(view.TileRect() == before)) {
            std::printf("  the mosaic grew during the pan steps; the figure includes rebuilds\n");
            rc = 1;
        }
    }
    std::error_code ec;
    fs::remove_all(cache, ec);
    return rc;
}
