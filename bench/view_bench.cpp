// Prints how fast the map view rebuilds its mosaic from a warm tile cache
// (tiles decoded and drawn per second, 1920x1080 view), what one pan step
// costs when it does not grow the mosaic, and what a drag step costs at the
// start of a long pan and after 30 tiles east and 20 south, with the mosaic's
// memory then. Runs offscreen; no network.
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
    tile.save(QString::fromStdString((dir / TTileCache::TileFileName({TMapType::Road, zoom, x, y})).string()), "PNG");
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Drags the map by (dx, dy) view pixels per step, as a press, a move and a
// release on the mosaic; returns the seconds per step.
double Drag(TAtlasClass& view, int dx, int dy, int steps) {
    const QPoint from(view.width() / 2, view.height() / 2);
    const auto t0 = Clock::now();
    for (int i = 0; i < steps; ++i) {
        QWidget* mosaic = view.MosaicWidget();
        const QPointF a = from - mosaic->pos();
        const QPointF b = a + QPointF(dx, dy);
        QMouseEvent press(QEvent::MouseButtonPress, a, mosaic->mapToGlobal(a), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(mosaic, &press);
        QMouseEvent move(QEvent::MouseMove, b, mosaic->mapToGlobal(b), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(mosaic, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, b, mosaic->mapToGlobal(b), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(mosaic, &release);
    }
    return Seconds(Clock::now() - t0) / steps;
}

void PrintLongPanStep(const char* when, double seconds, const TAtlasClass& view) {
    const QImage& m = view.MosaicImage();
    std::printf("  %s: %.2f ms per 64-pixel drag step; mosaic %dx%d, %.1f MB\n", when, 1000 * seconds, m.width(),
                m.height(), double(m.sizeInBytes()) / (1024 * 1024));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TAtlasSettings settings;
    settings.Server.HostPattern = "127.0.0.1";
    settings.Server.Port = 9;  // nothing is requested from a warm cache

    const int zoom = 12;
    const fs::path cache = fs::temp_directory_path() / ("atlas_view_bench_" + std::to_string(getpid()));
    fs::create_directories(cache);
    const TGlobalPixel centre = LonLatToPixel(zoom, settings.InitialLon, settings.InitialLat, TDeltaPair{});
    const int cx = centre.X / 256, cy = centre.Y / 256;
    // Around the centre and along the long pan, 30 tiles east and 20 south of it.
    for (int y = cy - 6; y <= cy + 28; ++y)
        for (int x = cx - 6; x <= cx + 40; ++x) WriteTile(cache, zoom, x, y);

    QWidget panel;
    panel.resize(1920, 1080);
    panel.show();
    int rc = 0;
    {
        TAtlasClass view(&panel, &panel, TMapZoom(zoom), cache.string(), TDeltaPair{}, settings);
        view.show();
        const TTileRect r = view.TileRect();
        const long long tilesPerRebuild = r.Count();

        const int rebuilds = 20;
        const auto t0 = Clock::now();
        for (int i = 0; i < rebuilds; ++i) view.SetCenter(settings.InitialLon, settings.InitialLat);
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
        QMouseEvent release(QEvent::MouseButtonRelease, down, mosaic->mapToGlobal(down), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(mosaic, &release);

        // A long pan: 4 tiles east first, then on to 30 east and 20 south, then 4 tiles east again.
        view.SetCenter(settings.InitialLon, settings.InitialLat);
        std::printf("long pan, 1920x1080 view:\n");
        PrintLongPanStep("first 4 tiles east", Drag(view, -64, 0, 16), view);
        Drag(view, -64, 0, 104);
        Drag(view, 0, -64, 80);
        PrintLongPanStep("4 tiles east after 30 east and 20 south", Drag(view, -64, 0, 16), view);
    }
    std::error_code ec;
    fs::remove_all(cache, ec);
    return rc;
}
