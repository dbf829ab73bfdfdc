#include "AtlasClass.h"

#include <QCoreApplication>
#include <QCursor>
#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "TileCache.h"
#include "TileImage.h"

namespace {

constexpr QRgb LoadingColour = qRgb(166, 202, 240);
constexpr int MarkerSize = 23;
constexpr int WheelNotch = 120;  // angle delta of one wheel notch
// The text of the placeholder tile: a small bold sans face of the platform.
constexpr int LoadingFontPixels = 12;

// A child that shows one picture at its natural size, like an image control
// that sizes itself to its bitmap.
class TImageControl : public QWidget {
public:
    explicit TImageControl(QWidget* parent) : QWidget(parent) {
        setCursor(Qt::CrossCursor);
        setMouseTracking(true);  // plain moves report the position too
    }
    QImage Image;

    void ImageChanged() {
        if (size() != Image.size()) resize(Image.size());
        update();
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        if (Image.isNull()) return;
        QPainter p(this);
        p.drawImage(e->rect().topLeft(), Image, e->rect());
    }
};

// A tile's pixels as a QImage sharing the bitmap's buffer; valid while the bitmap lives.
QImage WrapBitmap(const TBitmap& b) {
    return QImage(b.Rgb.data(), b.Width, b.Height, b.Width * 3, QImage::Format_RGB888);
}

// Decodes the cached tiles of a mosaic on every core straight into the
// image's pixels (each tile its own square, so the threads never meet) and
// flags each tile drawn. Missing, unreadable, undecodable and odd-sized tiles
// get a white square and are left to DrawTile on the GUI thread, which also
// asks for what is missing.
std::vector<std::uint8_t> DrawCachedTiles(QImage& image, const TTileCache& cache, TMapType type, std::int32_t zoom,
                                          const TTileRect& rect) {
    const std::int64_t columns = rect.Width();
    const std::size_t count = std::size_t(rect.Count());
    std::vector<std::uint8_t> drawn(count, 0);
    uchar* const bits = image.bits();  // detached here, on the GUI thread
    const qsizetype stride = image.bytesPerLine();
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            const std::int32_t x = rect.Left + std::int32_t(std::int64_t(i) % columns);
            const std::int32_t y = rect.Top + std::int32_t(std::int64_t(i) / columns);
            const std::int64_t dx = (x - rect.Left) * std::int64_t(TileSize);
            const std::int64_t dy = (y - rect.Top) * std::int64_t(TileSize);
            auto row = [&](int r) { return reinterpret_cast<QRgb*>(bits + (dy + r) * stride) + dx; };
            try {
                if (TileInGrid(zoom, x, y)) {
                    const TCachedTile tile = cache.Load({type, zoom, x, y});
                    const TBitmap& picture = tile.Picture;
                    if (tile.State == TTileState::Decoded && picture.Width == TileSize && picture.Height == TileSize) {
                        const std::uint8_t* from = picture.Rgb.data();
                        for (int r = 0; r < TileSize; ++r)
                            for (QRgb *to = row(r), *end = to + TileSize; to != end; ++to, from += 3)
                                *to = qRgb(from[0], from[1], from[2]);
                        drawn[i] = 1;
                        continue;
                    }
                }
            } catch (...) {
                // Left to DrawTile, which meets the same fault on the GUI thread.
            }
            for (int r = 0; r < TileSize; ++r) std::fill_n(row(r), TileSize, qRgb(255, 255, 255));
        }
    };
    const unsigned helpers =
        unsigned(std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), count)) - 1;
    std::vector<std::thread> threads;
    try {
        for (unsigned i = 0; i < helpers; ++i) threads.emplace_back(work);
    } catch (...) {
        // Fewer helpers; the GUI thread does the rest.
    }
    work();
    for (auto& thread : threads) thread.join();
    return drawn;
}

QImage MakeLoadingTile() {
    QImage tile(TileSize, TileSize, QImage::Format_RGB32);
    tile.fill(Qt::white);
    QPainter p(&tile);
    p.setPen(QColor(LoadingColour));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, TileSize - 1, TileSize - 1);  // one-pixel frame along the four edges
    QFont f;
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(LoadingFontPixels);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(10, 10, TileSize - 20, TileSize - 20), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Loading..."));
    return tile;
}

// The red cross; white is made see-through, as the bitmap's bottom-left colour.
QImage MakeMarker() {
    QImage m(MarkerSize, MarkerSize, QImage::Format_ARGB32);
    m.fill(Qt::white);
    {
        QPainter p(&m);
        p.setPen(QColor(255, 0, 0));
        const int c = MarkerSize / 2;
        p.drawLine(c, 0, c, MarkerSize - 1);
        p.drawLine(0, c, MarkerSize - 1, c);
    }
    const QRgb transparent = m.pixel(0, MarkerSize - 1);
    for (int y = 0; y < m.height(); ++y)
        for (int x = 0; x < m.width(); ++x)
            if (m.pixel(x, y) == transparent) m.setPixel(x, y, qRgba(255, 255, 255, 0));
    return m;
}

}  // namespace

struct TAtlasClass::TImpl {
    TImageControl* Mosaic = nullptr;  // child; Qt owns it
    TImageControl* Marker = nullptr;  // child, in front of Mosaic
    QImage LoadingTile;
    TMapType MapType = TMapType::Road;
    // The view's own worker; joined before this widget dies, since it posts here.
    std::unique_ptr<TAtlasThread> TileWorker;
    // Generation workers of a run; absent until the first tile that needs a download.
    std::unique_ptr<TGenWorkerPool> GenWorkers;
    // What the next pool of generation workers is made with.
    TServerConfig RunServer;
    TDownloadLimits Limits;
    bool RouteNotices = false;
    QPointer<QObject> RouteWindow;
    int RouteMessage = 0;
    // The child that had the left button pressed on it: a release inside it is a click.
    QObject* ClickSource = nullptr;
    int WheelRest = 0;  // wheel turn not yet making a full notch
};

TAtlasClass::TAtlasClass(QWidget* owner, QWidget* parentPanel, TMapZoom initialZoom, std::string cacheDir,
                         TDeltaPair initialPair, TAtlasSettings settings)
    : QWidget(parentPanel), Impl(std::make_unique<TImpl>()), Cache(std::move(cacheDir), settings.Server) {
    (void)owner;  // the panel owns the widget; the main window keeps the pointer
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("地图"));
    setAutoFillBackground(true);
    const QSize size = parentPanel ? parentPanel->size() : QSize(0, 0);
    resize(size);

    Impl->Mosaic = new TImageControl(this);
    Impl->Mosaic->setObjectName(QStringLiteral("Mosaic"));
    Impl->Mosaic->installEventFilter(this);

    Impl->LoadingTile = MakeLoadingTile();

    Impl->Marker = new TImageControl(this);
    Impl->Marker->setObjectName(QStringLiteral("Marker"));
    Impl->Marker->Image = MakeMarker();
    Impl->Marker->ImageChanged();
    PlaceMarker();
    Impl->Marker->installEventFilter(this);
    Impl->Marker->raise();

    View.Init(initialZoom, {size.width(), size.height()});
    View.Pair = initialPair;
    Impl->TileWorker = std::make_unique<TAtlasThread>(this, Cache.Folder(), settings.Server, settings.Limits);
    Impl->TileWorker->MapType = Impl->MapType;
    Impl->RunServer = std::move(settings.Server);
    Impl->Limits = settings.Limits;

    SetCenter(settings.InitialLon, settings.InitialLat);
    View.Created = true;
}

TAtlasClass::~TAtlasClass() {
    // Workers post to this object: they are joined before any of it goes.
    Impl->GenWorkers.reset();
    delete Impl->Mosaic;
    Impl->Mosaic = nullptr;
    Impl->TileWorker.reset();
}

int TAtlasClass::MapZoom() const { return View.MapZoom; }

void TAtlasClass::SetMapZoom(int zoom) {
    const int old = View.MapZoom;
    View.MapZoom = zoom;
    RaiseZoomChange(old);
}

void TAtlasClass::RaiseZoomChange(int oldZoom) {
    if (View.MapZoom != oldZoom && OnMapZoomChange) OnMapZoomChange(this, View.MapZoom);
}

TMapType TAtlasClass::MapType() const { return Impl->MapType; }

void TAtlasClass::SetMapType(TMapType type) {
    Impl->MapType = type;
    Impl->TileWorker->MapType = type;
}

TDeltaPair TAtlasClass::DeltaPair() const { return View.Pair; }

void TAtlasClass::SetDeltaPair(TDeltaPair pair) { View.Pair = pair; }

double TAtlasClass::LeftLon() const { return View.Position.LeftLon; }
double TAtlasClass::LeftLat() const { return View.Position.LeftLat; }
double TAtlasClass::RightLon() const { return View.Position.RightLon; }
double TAtlasClass::RightLat() const { return View.Position.RightLat; }
double TAtlasClass::ImgCenterLon() const { return View.Position.ImgCenterLon; }
double TAtlasClass::ImgCenterLat() const { return View.Position.ImgCenterLat; }
int TAtlasClass::ImgWidth() const { return View.Position.ImgWidth; }
int TAtlasClass::ImgHeight() const { return View.Position.ImgHeight; }
int TAtlasClass::CenterX() const { return View.Position.CenterX; }
int TAtlasClass::CenterY() const { return View.Position.CenterY; }
TTileRect TAtlasClass::TileRect() const { return View.TileRect; }

const QImage& TAtlasClass::MosaicImage() const { return Impl->Mosaic->Image; }
QWidget* TAtlasClass::MosaicWidget() const { return Impl->Mosaic; }
QWidget* TAtlasClass::MarkerWidget() const { return Impl->Marker; }
const QImage& TAtlasClass::LoadingTileImage() const { return Impl->LoadingTile; }
TAtlasThread* TAtlasClass::TileWorkerForTest() const { return Impl->TileWorker.get(); }
const TGenWorkerPool* TAtlasClass::GenWorkersForTest() const { return Impl->GenWorkers.get(); }

void TAtlasClass::SetCenter(double lon, double lat) {
    View.SetCenter(lon, lat);
    RebuildMosaic();
}

void TAtlasClass::SetTileRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
    View.SetTileRect(left, top, right, bottom);
    RebuildMosaic();
}

bool TAtlasClass::ZoomBy(int count) {
    const QPoint centre(View.ClientSize.Width / 2, View.ClientSize.Height / 2);
    for (int i = 0; i < count; ++i) WheelStep(1, centre);
    for (int i = 0; i < -count; ++i) WheelStep(0, centre);
    return true;
}

void TAtlasClass::Reload() { SetCenter(ImgCenterLon(), ImgCenterLat()); }

void TAtlasClass::WheelStep(int delta, QPoint viewPos) {
    const TViewPoint p{viewPos.x(), viewPos.y()};
    const QPoint at = Impl->Mosaic->pos();
    const TViewPoint mosaicPos{at.x(), at.y()};
    const TZoomResult r = delta > 0 ? View.ZoomInAt(p, mosaicPos) : View.ZoomOutAt(p, mosaicPos);
    if (!r.Changed) return;
    RaiseZoomChange(r.OldZoom);
    RebuildMosaic();
}

void TAtlasClass::WheelStep(int delta) { WheelStep(delta, mapFromGlobal(QCursor::pos())); }

// The cross's middle pixel is the view's centre pixel, the point a click takes.
void TAtlasClass::PlaceMarker() { Impl->Marker->move(width() / 2 - MarkerSize / 2, height() / 2 - MarkerSize / 2); }

void TAtlasClass::PlaceMosaicWidget() { Impl->Mosaic->move(View.Origin.X, View.Origin.Y); }

void TAtlasClass::RebuildMosaic() {
    TImageControl* mosaic = Impl->Mosaic;
    const std::int64_t w = View.TileRect.Width() * TileSize;
    const std::int64_t h = View.TileRect.Height() * TileSize;
    // A newly sized bitmap is white; a size Qt cannot hold stays a null image.
    QImage image;
    if (w > 0 && h > 0 && w <= QWIDGETSIZE_MAX && h <= QWIDGETSIZE_MAX) image = QImage(int(w), int(h), QImage::Format_RGB32);
    if (!image.isNull()) {
        // Every square is either drawn or made white, so no fill of the whole image first.
        const std::vector<std::uint8_t> drawn =
            DrawCachedTiles(image, Cache, Impl->MapType, View.MapZoom, View.TileRect);
        std::size_t i = 0;
        for (std::int32_t y = View.TileRect.Top; y <= View.TileRect.Bottom; ++y)
            for (std::int32_t x = View.TileRect.Left; x <= View.TileRect.Right; ++x, ++i)
                if (!drawn[i]) DrawTile(View.MapZoom, x, y, image);
    }
    mosaic->Image = std::move(image);
    mosaic->ImageChanged();
    PlaceMosaicWidget();
}

void TAtlasClass::DrawTile(std::int32_t zoom, std::int32_t x, std::int32_t y, QImage& bitmap) {
    const int dx = (x - View.TileRect.Left) * TileSize;
    const int dy = (y - View.TileRect.Top) * TileSize;
    QPainter p(&bitmap);
    // Beyond the edge of the world the service has nothing: a blank square, no request.
    if (!TileInGrid(zoom, x, y)) {
        p.fillRect(dx, dy, TileSize, TileSize, Qt::white);
        return;
    }
    const TTileId tile{Impl->MapType, zoom, x, y};
    const TCachedTile cached = Cache.Load(tile);
    switch (cached.State) {
        case TTileState::Unreadable: return;  // being written, or unreadable: try again next time
        case TTileState::Undecodable: return;  // an image that will not decode (a GIF): neither drawn nor requested
        case TTileState::Decoded:
            // An odd-sized tile stays inside its square, whatever order the squares are drawn in.
            p.setClipRect(dx, dy, TileSize, TileSize);
            p.drawImage(dx, dy, WrapBitmap(cached.Picture));
            return;
        case TTileState::Missing:
        case TTileState::Unrecognised: break;
    }
    Impl->TileWorker->AddRequest(zoom, x, y);
    const TCachedTile parent = Cache.LoadStandIn(tile);
    if (parent.State == TTileState::Missing) {
        p.drawImage(dx, dy, Impl->LoadingTile);
        return;
    }
    if (parent.State != TTileState::Decoded) return;
    const QImage enlarged =
        WrapBitmap(parent.Picture).scaled(2 * TileSize, 2 * TileSize, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    // The quarter goes one pixel in and loses its last row and column.
    p.drawImage(QPoint(dx + 1, dy + 1), enlarged, QRect((x % 2) * TileSize, (y % 2) * TileSize, TileSize - 1, TileSize - 1));
}

void TAtlasClass::PostNotice(TTileNotice notice) {
    const int message = NoticeMessage(notice.Kind);
    QCoreApplication::postEvent(this, new TTileNoticeEvent(message, std::move(notice)));
}

bool TAtlasClass::SetTileNoticeRouting(bool active, QObject* target, int message) {
    Impl->RouteNotices = active;
    Impl->RouteWindow = target;
    Impl->RouteMessage = message;
    return true;
}

void TAtlasClass::RouteNotice(int message, const TTileNoticeEvent& notice) {
    if (QObject* target = Impl->RouteWindow.data())
        QCoreApplication::postEvent(target, new TTileNoticeEvent(message, notice.Notice));
}

bool TAtlasClass::RequestGenTile(const TTileId& tile) {
    if (!Impl->GenWorkers)
        Impl->GenWorkers = std::make_unique<TGenWorkerPool>(this, Cache.Folder(), Impl->RunServer, Impl->Limits);
    return Impl->GenWorkers->RequestGenTile(tile);
}

bool TAtlasClass::RequestGenTile(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode) {
    // A code that is no map type queues nothing.
    const std::optional<TMapType> type = ParseMapType(typeCode);
    return !type || RequestGenTile({*type, zoom, x, y});
}

void TAtlasClass::SetRunServer(TServerConfig server) { Impl->RunServer = std::move(server); }

void TAtlasClass::StopGenWorkers() {
    if (Impl->GenWorkers) Impl->GenWorkers->StopGenWorkers();
}

TRunStop TAtlasClass::GenStopReason() const {
    return Impl->GenWorkers ? Impl->GenWorkers->StopReason() : TRunStop{};
}

int TAtlasClass::GenPausedSeconds() const { return Impl->GenWorkers ? Impl->GenWorkers->PausedSeconds() : 0; }

void TAtlasClass::WMTileSaved(const TTileNoticeEvent& notice) {
    if (Impl->RouteNotices) {
        RouteNotice(Impl->RouteMessage, notice);
        return;
    }
    // The type in the notice is not used: the view paints its own type.
    const TTileId& a = notice.Notice.Tile;
    if (a.Zoom != View.MapZoom) return;
    const TTileRect& r = View.TileRect;
    // Only squares of the mosaic: a tile outside it has nowhere to go.
    if (a.X < r.Left || a.X > r.Right || a.Y < r.Top || a.Y > r.Bottom) return;
    TImageControl* mosaic = Impl->Mosaic;
    if (mosaic->Image.isNull()) return;
    DrawTile(a.Zoom, a.X, a.Y, mosaic->Image);
    mosaic->update(QRect((a.X - r.Left) * TileSize, (a.Y - r.Top) * TileSize, TileSize, TileSize));
}

bool TAtlasClass::event(QEvent* e) {
    if (e->type() == MessageEventType(WM_TILESAVED)) {
        WMTileSaved(static_cast<const TTileNoticeEvent&>(*e));
        return true;
    }
    if (e->type() == MessageEventType(WM_TILEFAILED)) {
        if (Impl->RouteNotices) RouteNotice(WM_GENTILEFAILED, static_cast<const TTileNoticeEvent&>(*e));
        return true;
    }
    return QWidget::event(e);
}

void TAtlasClass::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    if (!Impl || !Impl->Mosaic) return;
    PlaceMarker();
    // The mosaic stays at Origin, which keeps the old centre point under the new centre.
    if (View.Resize({e->size().width(), e->size().height()})) RebuildMosaic();
}

void TAtlasClass::keyPressEvent(QKeyEvent* e) {
    int dx = 0, dy = 0;
    switch (e->key()) {
    case Qt::Key_Left: dx = 1; break;
    case Qt::Key_Right: dx = -1; break;
    case Qt::Key_Up: dy = 1; break;
    case Qt::Key_Down: dy = -1; break;
    default: QWidget::keyPressEvent(e); return;
    }
    if (View.MoveByTile(dx, dy))
        RebuildMosaic();
    else
        PlaceMosaicWidget();
}

void TAtlasClass::wheelEvent(QWheelEvent* e) {
    // A wheel event carries the pointer's position at the time it happened,
    // which is where the user looked; QCursor::pos may already have moved on.
    // Events without a vertical turn (horizontal scrolling, touchpad phase
    // markers) are not wheel steps. Touchpads and fine wheels send many small
    // deltas per notch: they add up, and each full notch is one zoom level.
    e->accept();
    const int delta = e->angleDelta().y();
    if (delta == 0) return;
    if ((delta > 0) != (Impl->WheelRest > 0)) Impl->WheelRest = 0;  // a turn back starts afresh
    Impl->WheelRest += delta;
    while (Impl->WheelRest >= WheelNotch || Impl->WheelRest <= -WheelNotch) {
        const int step = Impl->WheelRest > 0 ? WheelNotch : -WheelNotch;
        Impl->WheelRest -= step;
        WheelStep(step, e->position().toPoint());
    }
}

bool TAtlasClass::eventFilter(QObject* watched, QEvent* e) {
    if (!Impl || (watched != Impl->Mosaic && watched != Impl->Marker)) return QWidget::eventFilter(watched, e);
    switch (e->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease: break;
    default: return QWidget::eventFilter(watched, e);
    }
    auto* me = static_cast<QMouseEvent*>(e);
    const QPoint local = me->position().toPoint();
    QPoint inMosaic = local;
    if (watched == Impl->Marker) inMosaic = local + Impl->Marker->pos() - Impl->Mosaic->pos();
    const TViewPoint q{inMosaic.x(), inMosaic.y()};
    switch (e->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: MapMouseDown(watched, me->button(), q); break;
    case QEvent::MouseMove:
        MapMouseMove(q, me->buttons() == Qt::LeftButton && me->modifiers() == Qt::NoModifier);
        break;
    default: MapMouseUp(watched, me->button(), static_cast<QWidget*>(watched)->rect().contains(local)); break;
    }
    return true;
}

void TAtlasClass::MapMouseDown(QObject* source, Qt::MouseButton button, TViewPoint q) {
    View.Press(q);
    if (button == Qt::LeftButton) Impl->ClickSource = source;
}

void TAtlasClass::MapMouseMove(TViewPoint q, bool leftOnly) {
    const TPanResult r = View.PanStep(q, leftOnly);
    if (r.Ignored) return;
    if (r.Grew)
        RebuildMosaic();
    else if (r.Moved)
        PlaceMosaicWidget();
    if (!OnMapGPS) return;
    const TLonLat at = View.ReportPosition(r.Point);
    OnMapGPS(this, at.Lon, at.Lat, View.ClientSize.Width / 2);
}

void TAtlasClass::MapMouseUp(QObject* source, Qt::MouseButton button, bool inside) {
    if (button != Qt::LeftButton) return;
    const bool click = Impl->ClickSource == source && inside;
    Impl->ClickSource = nullptr;
    if (click) MapClick();
}

void TAtlasClass::MapClick() {
    if (!OnClickGPS) return;
    const TLonLat at = View.ClickPosition();
    OnClickGPS(this, at.Lon, at.Lat);
}
