// The map widget driven offscreen: painting from a temporary tile cache,
// tile notices and their routing, mouse, wheel and keys on the real children.
// Tile requests go to a local port nobody listens on, so they fail at once
// and come back as failure notices.
#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "AtlasClass.h"
#include "TempDir.h"
#include "TileCache.h"
#include "TileFileName.h"
#include "WaitUntilQt.h"

namespace fs = std::filesystem;

namespace {

constexpr QRgb LoadingColour = qRgb(166, 202, 240);
constexpr QRgb Red = qRgb(255, 0, 0), Green = qRgb(0, 255, 0), Blue = qRgb(0, 0, 255);
constexpr QRgb Yellow = qRgb(255, 255, 0), Magenta = qRgb(255, 0, 255), White = qRgb(255, 255, 255);

// Collects the notices a routed view forwards.
class TNoticeReceiver : public QObject {
public:
    std::vector<std::pair<int, std::string>> Got;
    bool Has(int m, const std::string& p) const { return std::count(Got.begin(), Got.end(), std::pair(m, p)) > 0; }

protected:
    bool event(QEvent* e) override {
        auto* n = dynamic_cast<TTileNoticeEvent*>(e);
        if (n) Got.emplace_back(n->Message, n->Notice.Path);
        return n || QObject::event(e);
    }
};

void ExpectLonLat(const TLonLat& got, const TLonLat& expected) {
    EXPECT_DOUBLE_EQ(got.Lon, expected.Lon);
    EXPECT_DOUBLE_EQ(got.Lat, expected.Lat);
}

constexpr TDeltaPair ZeroPair{};

// A local port nobody listens on, so tile requests fail at once.
int UnusedLocalPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 9;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 9;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

class AtlasClassTest : public ::testing::Test {
protected:
    void SetUp() override {
        static const int unusedPort = UnusedLocalPort();
        Settings.Server.HostPattern = "127.0.0.1";
        Settings.Server.Port = unusedPort;
        CentreOn(10, 512 * 256 + 128, 300 * 256 + 128);  // the middle of tile (512, 300) at zoom 10
        Panel = std::make_unique<QWidget>();
        Panel->resize(800, 600);
        Panel->show();
    }
    void TearDown() override {
        Panel.reset();  // deletes the view, which joins its worker, before the cache goes
    }

    // Settings' start position: a point inside global pixel (px, py) at a zoom.
    void CentreOn(int zoom, std::int32_t px, std::int32_t py) {
        const TLonLat c = PixelToLonLat(zoom + 1, 2 * px + 1, 2 * py + 1, ZeroPair);
        Settings.InitialLon = c.Lon;
        Settings.InitialLat = c.Lat;
    }

    TAtlasClass* MakeView(int zoom) {
        View = new TAtlasClass(Panel.get(), Panel.get(), TMapZoom(zoom), CacheDir.string(), ZeroPair, Settings);
        View->show();
        return View;
    }
    // A worker's notice of the tile at this path.
    void PostNotice(TNoticeKind kind, const std::string& path) const { View->PostNotice({kind, *ParseTileFileName(path), path}); }
    std::string TilePath(int zoom, int x, int y, const std::string& type = "m") const {
        return (CacheDir / TTileCache::TileFileName({*ParseMapType(type), zoom, x, y})).string();
    }
    // A tile of one colour, or of four quarters: top-left, top-right, bottom-left, bottom-right.
    void WritePng(int zoom, int x, int y, QRgb tl, QRgb tr = 0, QRgb bl = 0, QRgb br = 0) const {
        QImage tile(256, 256, QImage::Format_RGB32);
        const QRgb colours[4] = {tl, tr ? tr : tl, bl ? bl : tl, br ? br : tl};
        for (int py = 0; py < 256; ++py)
            for (int px = 0; px < 256; ++px) tile.setPixel(px, py, colours[(py / 128) * 2 + px / 128]);
        ASSERT_TRUE(tile.save(QString::fromStdString(TilePath(zoom, x, y)), "PNG"));
    }
    QRgb MosaicPixel(int x, int y) const { return View->MosaicImage().pixel(x, y) | 0xFF000000u; }

    TTempDir Cache;
    const fs::path CacheDir = Cache.Path();
    TAtlasSettings Settings;  // what the views are made with
    std::unique_ptr<QWidget> Panel;
    TAtlasClass* View = nullptr;
};

TEST_F(AtlasClassTest, PaintsCachedTilesParentsQuartersAndPlaceholders) {
    WritePng(10, 512, 300, Red);
    WritePng(9, 256, 150, Blue, Green, Yellow, Magenta);  // parent of 512..513 x 300..301
    MakeView(10);
    TNoticeReceiver receiver;
    View->SetTileNoticeRouting(true, &receiver, WM_GENTILESAVED);

    EXPECT_EQ(MosaicPixel(2 * 256 + 10, 2 * 256 + 10), Red);
    // (513, 300): top-right quarter of the parent, one pixel in; the first row and column stay white.
    EXPECT_EQ(MosaicPixel(3 * 256, 2 * 256 + 1), White);
    EXPECT_EQ(MosaicPixel(3 * 256 + 1, 2 * 256), White);
    EXPECT_EQ(MosaicPixel(3 * 256 + 1, 2 * 256 + 1), Green);
    EXPECT_EQ(MosaicPixel(3 * 256 + 255, 2 * 256 + 255), Green);
    EXPECT_EQ(MosaicPixel(2 * 256 + 100, 3 * 256 + 100), Yellow);  // (512, 301): bottom-left quarter
    // (511, 299) has no parent file: the placeholder with its frame.
    EXPECT_EQ(MosaicPixel(256, 256), LoadingColour);
    EXPECT_EQ(MosaicPixel(256 + 128, 256 + 128), White);

    // Every missing tile was requested, the cached one never: each comes
    // back as a failure notice forwarded to the receiver.
    ASSERT_TRUE(WaitUntil([&] { return receiver.Got.size() >= 24; }, WaitLimit, ProcessEventsBriefly));
    EXPECT_TRUE(receiver.Has(WM_GENTILEFAILED, TilePath(10, 513, 300)));
    EXPECT_TRUE(receiver.Has(WM_GENTILEFAILED, TilePath(10, 511, 299)));
    EXPECT_FALSE(receiver.Has(WM_GENTILEFAILED, TilePath(10, 512, 300)));
}

// A type with a source of its own shows that source's tiles, never the
// default source's tile of the same name.
TEST_F(AtlasClassTest, ATypeWithItsOwnSourcePaintsFromItsOwnFolder) {
    const TServerConfig saved = Settings.Server;
    Settings.Server.UrlTemplates[0] = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    const fs::path own = CacheDir / SourceDigest(Settings.Server.UrlTemplates[0]);
    WritePng(10, 512, 300, Blue);  // the default source's tile
    fs::create_directories(own);
    fs::rename(TilePath(10, 512, 300), own / TTileCache::TileFileName({TMapType::Road, 10, 512, 300}));
    WritePng(10, 513, 300, Blue);
    MakeView(10);
    Settings.Server = saved;
    EXPECT_EQ(MosaicPixel(2 * 256 + 10, 2 * 256 + 10), Blue);
    EXPECT_NE(MosaicPixel(3 * 256 + 10, 2 * 256 + 10), Blue);
}

TEST_F(AtlasClassTest, LoadingTileAtZoomFiveAndBlankSquaresOutsideTheGrid) {
    CentreOn(5, 128, 9 * 256 + 128);  // tile (0, 9): the mosaic starts two columns west of the world
    MakeView(5);
    ASSERT_EQ(View->TileRect(), (TTileRect{-2, 7, 2, 11}));
    const QImage& loading = View->LoadingTileImage();
    bool text = false;  // "Loading..." in the frame colour near (10, 10)
    for (int y = 10; y < 30 && !text; ++y)
        for (int x = 10; x < 90 && !text; ++x) text = (loading.pixel(x, y) | 0xFF000000u) == LoadingColour;
    EXPECT_TRUE(text);
    // Tile (0, 7) is in the grid: no zoom-4 parent ever exists, so it shows the placeholder.
    EXPECT_EQ(MosaicPixel(2 * 256, 0), LoadingColour);
    EXPECT_EQ(MosaicPixel(256, 0), White);  // tile (-1, 7) lies outside: blank
}

TEST_F(AtlasClassTest, UndecodableTilesLeaveTheirSquareAndUnrecognisedOnesCountAsMissing) {
    const struct { const char* Name; std::string Bytes; bool ShowsParent; } rows[] = {  // parent: treated as missing
        {"gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13), false},
        {"damaged png", std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDRgarbage", 23), false},
        {"png letters only", std::string("xPNG not a picture"), false},
        {"unrecognised", std::string("hello, this is no image"), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        std::ofstream(TilePath(10, 511, 300), std::ios::binary) << row.Bytes;
        WritePng(9, 255, 150, Blue);
        MakeView(10);
        EXPECT_EQ(MosaicPixel(256 + 100, 2 * 256 + 100), row.ShowsParent ? Blue : White);
        delete View;
        View = nullptr;
    }
}

// Tiles are decoded on several threads; a tile larger than its square still stays inside it.
TEST_F(AtlasClassTest, OversizedTileKeepsToItsSquare) {
    QImage big(300, 300, QImage::Format_RGB32);
    big.fill(Red);
    ASSERT_TRUE(big.save(QString::fromStdString(TilePath(10, 511, 300)), "PNG"));
    WritePng(10, 512, 300, Green);
    MakeView(10);
    EXPECT_EQ(MosaicPixel(256 + 255, 2 * 256 + 255), Red);
    EXPECT_EQ(MosaicPixel(2 * 256 + 10, 2 * 256 + 10), Green);
}

TEST_F(AtlasClassTest, NoticesAreForwardedWhenRoutedAndOtherwisePaintTheCurrentZoomOnly) {
    MakeView(10);
    // Only the notices posted here count: the view's own worker, which would
    // report a tile this test writes into the cache, is stopped.
    View->TileWorkerForTest()->Stop();
    TNoticeReceiver receiver;
    EXPECT_TRUE(View->SetTileNoticeRouting(true, &receiver, WM_GENTILESAVED));
    WritePng(10, 514, 302, Blue);
    const std::string saved = TilePath(10, 514, 302), failed = TilePath(10, 700, 700);
    PostNotice(TNoticeKind::TileSaved, saved);
    PostNotice(TNoticeKind::TileFailed, failed);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Has(WM_GENTILESAVED, saved) && receiver.Has(WM_GENTILEFAILED, failed); }, WaitLimit,
                          ProcessEventsBriefly));
    EXPECT_NE(MosaicPixel(4 * 256 + 128, 4 * 256 + 128), Blue);

    // Routing off again: notices paint, only at the current zoom, and nothing more is forwarded.
    View->SetTileNoticeRouting(false, nullptr, 0);
    const std::size_t forwarded = receiver.Got.size();
    WritePng(10, 510, 298, Green);
    PostNotice(TNoticeKind::TileSaved, TilePath(11, 510, 298));  // same x, y at another zoom
    PostNotice(TNoticeKind::TileSaved, TilePath(10, 900, 900));  // outside the mosaic
    PostNotice(TNoticeKind::TileSaved, "no tile name at all");
    PostNotice(TNoticeKind::TileSaved, saved);
    PostNotice(TNoticeKind::TileFailed, failed);
    QCoreApplication::processEvents();
    EXPECT_EQ(MosaicPixel(4 * 256 + 128, 4 * 256 + 128), Blue);
    EXPECT_NE(MosaicPixel(128, 128), Green);
    EXPECT_EQ(receiver.Got.size(), forwarded);

    auto* gone = new TNoticeReceiver;  // a receiver that is gone is not posted to (ASan would tell)
    View->SetTileNoticeRouting(true, gone, WM_GENTILESAVED);
    delete gone;
    PostNotice(TNoticeKind::TileSaved, saved);
    QCoreApplication::processEvents();
}

TEST_F(AtlasClassTest, ClicksReportThePointUnderTheCrossAndOnlyAPlainLeftDragPans) {
    MakeView(10);
    std::vector<int> userData;
    std::vector<TLonLat> clicks;
    View->OnMapGPS = [&](QObject*, double, double, int data) { userData.push_back(data); };
    View->OnClickGPS = [&](QObject*, double lon, double lat) { clicks.push_back({lon, lat}); };
    QWidget* mosaic = View->MosaicWidget();
    QTest::mouseClick(mosaic, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
    QTest::mouseClick(View->MarkerWidget(), Qt::LeftButton, Qt::NoModifier, QPoint(11, 11));
    // The cross acts as the map beneath it: its press lands in mosaic coordinates.
    EXPECT_EQ(View->State().DownPos, (TViewPoint{640, 640}));
    // A press on the cross released outside it is no click, nor is a right click.
    QTest::mousePress(View->MarkerWidget(), Qt::LeftButton, Qt::NoModifier, QPoint(11, 11));
    QTest::mouseRelease(View->MarkerWidget(), Qt::LeftButton, Qt::NoModifier, QPoint(60, 11));
    QTest::mouseClick(mosaic, Qt::RightButton, Qt::NoModifier, QPoint(500, 400));
    ASSERT_EQ(clicks.size(), 2u);
    for (const TLonLat& c : clicks) ExpectLonLat(c, PixelToLonLat(10, 512 * 256 + 128, 300 * 256 + 128, ZeroPair));

    // Ctrl or another button held: a small step is reported, not panned.
    const std::pair<Qt::MouseButtons, Qt::KeyboardModifiers> held[] = {{Qt::LeftButton, Qt::ControlModifier},
                                                                       {Qt::RightButton, Qt::NoModifier}};
    for (const auto& [buttons, modifiers] : held) {
        QMouseEvent move(QEvent::MouseMove, QPointF(530, 390), mosaic->mapToGlobal(QPointF(530, 390)), Qt::NoButton,
                         buttons, modifiers);
        QApplication::sendEvent(mosaic, &move);
    }
    EXPECT_EQ(mosaic->pos(), QPoint(-240, -340));
    EXPECT_EQ(userData, std::vector<int>(2, 400));

    userData.clear();
    QTest::mousePress(mosaic, Qt::LeftButton, Qt::NoModifier, QPoint(500, 400));
    QTest::mouseMove(mosaic, QPoint(530, 390));
    EXPECT_EQ(mosaic->pos(), QPoint(-210, -350));
    EXPECT_EQ(userData, std::vector<int>{400});
    QTest::mouseMove(mosaic, QPoint(620, 400));  // 120 pixels from the press: ignored entirely
    EXPECT_EQ(mosaic->pos(), QPoint(-210, -350));
    EXPECT_EQ(userData.size(), 1u);
    QTest::mouseRelease(mosaic, Qt::LeftButton, Qt::NoModifier, QPoint(620, 400));
    ASSERT_EQ(clicks.size(), 3u);
    ExpectLonLat(clicks[2], PixelToLonLat(10, 510 * 256 + 400 + 210, 298 * 256 + 300 + 350, ZeroPair));
}

TEST_F(AtlasClassTest, WheelZoomsAboutThePointerOneStepPerNotch) {
    // Tile (102, 52) at zoom 10 centred: Left 100, Top 50, Origin (-300, -456);
    // the up arrow then brings Origin to (-300, -200), the zoom example of the state tests.
    CentreOn(10, 26300, 13556);
    const struct { std::vector<int> Deltas; int Zoom; TTileRect Rect; TViewPoint Origin; } rows[] = {
        {{120}, 11, {203, 102, 207, 105}, {-232, -188}},
        {{15, 15, 15, 15, 15, 15, 15, 15}, 11, {203, 102, 207, 105}, {-232, -188}},  // a touchpad's notch
        {{60, -40, -50, -30}, 9, {49, 24, 52, 27}, {-206, -206}},  // a turn back starts afresh
        {{-120}, 9, {49, 24, 52, 27}, {-206, -206}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Deltas.size());
        MakeView(10);
        View->setFocus();
        QTest::keyClick(View, Qt::Key_Up);
        ASSERT_EQ(View->State().Origin, (TViewPoint{-300, -200}));
        std::vector<int> zooms;
        View->OnMapZoomChange = [&](QObject*, int zoom) { zooms.push_back(zoom); };
        // Qt hands a wheel turn over the mosaic on to the view, in view coordinates.
        const QPointF at(400, 300);
        for (std::size_t i = 0; i < row.Deltas.size(); ++i) {
            EXPECT_TRUE(zooms.empty()) << "zoomed before a full notch";
            QWheelEvent wheel(at, View->mapToGlobal(at), QPoint(), QPoint(0, row.Deltas[i]), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(View, &wheel);
        }
        EXPECT_EQ(zooms, std::vector<int>{row.Zoom});
        EXPECT_EQ(View->TileRect(), row.Rect);
        EXPECT_EQ(View->MosaicWidget()->pos(), QPoint(row.Origin.X, row.Origin.Y));
        EXPECT_EQ(View->MosaicImage().width(), int(row.Rect.Width() * 256));
        delete View;
        View = nullptr;
    }
}

TEST_F(AtlasClassTest, ZoomStopsAtFiveAndSeventeenWithoutAnEvent) {
    MakeView(10);
    int events = 0;
    View->OnMapZoomChange = [&](QObject*, int) { ++events; };
    View->SetMapZoom(10);  // unchanged: no event
    View->SetMapZoom(17);
    View->SetMapType(TMapType::Satellite);
    EXPECT_EQ(events, 1);
    EXPECT_EQ(View->TileWorkerForTest()->MapType, TMapType::Satellite);
    const TTileRect rect = View->TileRect();
    View->WheelStep(120, QPoint(400, 300));
    EXPECT_EQ(View->TileRect(), rect);
    View->SetMapZoom(5);
    View->WheelStep(-120, QPoint(400, 300));
    EXPECT_EQ(View->MapZoom(), 5);
    EXPECT_EQ(events, 2);
    View->SetMapZoom(16);
    EXPECT_TRUE(View->ZoomBy(3));  // stops at 17 after one step
    EXPECT_TRUE(View->ZoomBy(-2));
    EXPECT_EQ(View->MapZoom(), 15);
    EXPECT_EQ(events, 6);
}

TEST_F(AtlasClassTest, StartsCentredAndFollowsKeysResizeSetTileRectAndReload) {
    MakeView(10);  // tiles 510..514 x 298..302 around the settings' position
    EXPECT_EQ(View->TileRect(), (TTileRect{510, 298, 514, 302}));
    EXPECT_EQ(View->MosaicWidget()->pos(), QPoint(-240, -340));
    EXPECT_EQ(View->MarkerWidget()->geometry(), QRect(389, 289, 23, 23));
    View->setFocus();
    QTest::keyClick(View, Qt::Key_Right);
    EXPECT_EQ(View->State().Origin, (TViewPoint{-496, -340}));
    QTest::keyClick(View, Qt::Key_Left);
    EXPECT_EQ(View->MosaicWidget()->pos(), QPoint(-240, -340));

    View->resize(1000, 700);  // the geometry itself is the state's; here the wiring
    EXPECT_EQ(View->MosaicWidget()->pos(), QPoint(-140, -290));
    // The cross follows the centre, and a click on it takes the point beneath it.
    EXPECT_EQ(View->MarkerWidget()->geometry(), QRect(489, 339, 23, 23));
    std::vector<TLonLat> clicks;
    View->OnClickGPS = [&](QObject*, double lon, double lat) { clicks.push_back({lon, lat}); };
    QTest::mouseClick(View->MarkerWidget(), Qt::LeftButton, Qt::NoModifier, QPoint(11, 11));
    ASSERT_EQ(clicks.size(), 1u);
    ExpectLonLat(clicks[0], PixelToLonLat(10, 510 * 256 + 500 + 140, 298 * 256 + 350 + 290, ZeroPair));

    View->SetTileRect(10, 10, 11, 11);
    EXPECT_EQ(View->TileRect(), (TTileRect{10, 10, 14, 14}));

    // No report yet: Reload centres on longitude 0, latitude 0.
    View->Reload();
    EXPECT_EQ(View->TileRect(), (TTileRect{510, 510, 514, 514}));
}

// The map panel of a 1366x768 window without a window manager, with the
// centre far right in its tile: centring shifts the square of five columns
// left by 200 pixels, and it must still reach the panel's right edge. So
// must every mosaic after a resize or a reload (which centres afresh) at any size.
TEST_F(AtlasClassTest, MosaicCoversTheViewFromTheStartAndAfterEveryResizeAndReload) {
    CentreOn(5, 26 * 256 + 240, 11 * 256 + 128);
    Panel->resize(1146, 768);
    MakeView(5);
    auto covered = [&] {
        const QImage& image = View->MosaicImage();
        return View->MosaicWidget()->geometry().contains(View->rect()) &&
               image.size() == View->MosaicWidget()->size() &&
               image.width() == View->State().MosaicWidth() && image.height() == View->State().MosaicHeight();
    };
    EXPECT_TRUE(covered()) << View->State().Origin.X << " + " << View->State().MosaicWidth();
    for (const QSize size : {QSize(1366, 768), QSize(1213, 700), QSize(600, 900), QSize(257, 255), QSize(1500, 1000),
                             QSize(1146, 768), QSize(2000, 400)}) {
        SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height());
        View->resize(size);
        EXPECT_TRUE(covered());
        View->Reload();
        EXPECT_TRUE(covered());
    }
}

TEST_F(AtlasClassTest, GenerationRequestsGoToThePoolAndABusyViewDiesCleanly) {
    CentreOn(17, 1 << 24, 1 << 24);
    MakeView(17);
    EXPECT_FALSE(View->RequestGenTile(12, 101, 100, "m"));
    ASSERT_NE(View->GenWorkersForTest(), nullptr);
    EXPECT_EQ(View->GenWorkersForTest()->WorkerCount(), 1);
    View->StopGenWorkers();
    EXPECT_EQ(View->GenWorkersForTest()->WorkerCount(), 0);

    EXPECT_FALSE(View->RequestGenTile(17, 5, 5, "m"));
    PostNotice(TNoticeKind::TileSaved, TilePath(17, 1, 1));  // still queued when the view dies
    delete View;
    View = nullptr;
    QCoreApplication::processEvents();
}

}  // namespace
