// TAtlasClass: the interactive map control of the main window. It shows one
// map type at one zoom as a mosaic of cached 256x256 tiles, requests missing
// tiles from its own worker, pans, zooms and reports positions. All geometry
// lives in TMapViewState (no painting); this widget paints and routes input.
#pragma once

#include <QEvent>
#include <QImage>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "AtlasAppType.h"
#include "AtlasThread.h"
#include "GenWorkerPool.h"
#include "MapViewState.h"
#include "NoticeTarget.h"
#include "SourceGate.h"
#include "TileCache.h"

class QPoint;

// Event types of the view.
using TShowGPS = std::function<void(QObject* Sender, double Longitude, double Latitude, int UserData)>;
using TClickGPS = std::function<void(QObject* Sender, double Longitude, double Latitude)>;
using TMapZoomChange = std::function<void(QObject* Sender, int MapZoom)>;

// Message numbers of the windows: a worker's notice becomes WM_TILESAVED or
// WM_TILEFAILED to the map view, which forwards it to the main window during a run.
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_TILESAVED = WM_USER + 1001;      // worker -> map view: a tile file was saved
inline constexpr int WM_TILEFAILED = WM_USER + 1002;     // worker -> map view: a tile failed every attempt
inline constexpr int WM_PANELLAYOUT = WM_USER + 2001;    // main window -> itself
inline constexpr int WM_GENTILESAVED = WM_USER + 2002;   // map view -> main window, during a run
inline constexpr int WM_GENTILEFAILED = WM_USER + 2003;  // map view -> main window, during a run

// The message number a worker's notice arrives as; 0 (ignored) for the empty record.
constexpr int NoticeMessage(TNoticeKind kind) {
    switch (kind) {
        case TNoticeKind::TileSaved: return WM_TILESAVED;
        case TNoticeKind::TileFailed: return WM_TILEFAILED;
        case TNoticeKind::None: break;
    }
    return 0;
}

// The Qt event type that carries a window message number: the one place the
// two meet. Every message number lies well inside Qt's user range from here.
inline QEvent::Type MessageEventType(int message) { return QEvent::Type(QEvent::User + message); }

// A worker's notice travelling as a Qt event: as posted by the worker, or
// forwarded under the message number the routing asks for.
class TTileNoticeEvent : public QEvent {
public:
    TTileNoticeEvent(int message, TTileNotice notice)
        : QEvent(MessageEventType(message)), Message(message), Notice(std::move(notice)) {}
    const int Message;
    const TTileNotice Notice;
};

class TAtlasClass : public QWidget, public TNoticeTarget {
public:
    // Created on the parent panel at its size, centred on the settings'
    // InitialLon/Lat as seen through the shown type's calibration pair. Its
    // own worker and cache keep the settings' tile service and limits.
    TAtlasClass(QWidget* owner, QWidget* parentPanel, TMapZoom initialZoom, std::string cacheDir,
                TDeltaPair initialPair, TAtlasSettings settings);
    ~TAtlasClass() override;

    // Properties
    int MapZoom() const;
    void SetMapZoom(int zoom);            // raises OnMapZoomChange when it changes; no redraw
    TMapType MapType() const;
    void SetMapType(TMapType type);  // also the worker's type; no redraw
    TDeltaPair DeltaPair() const;
    void SetDeltaPair(TDeltaPair pair);  // the shown type's offsets; no redraw

    double LeftLon() const, LeftLat() const, RightLon() const, RightLat() const;
    double ImgCenterLon() const, ImgCenterLat() const;
    int ImgWidth() const, ImgHeight() const, CenterX() const, CenterY() const;
    TTileRect TileRect() const;

    TShowGPS OnMapGPS;
    TClickGPS OnClickGPS;
    TMapZoomChange OnMapZoomChange;

    void SetCenter(double lon, double lat);
    void SetTileRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);
    bool ZoomBy(int count);
    void Reload();

    // Generation downloads. While routing is on, every tile notice is posted
    // to target as message (failure notices as WM_GENTILEFAILED) and nothing is painted.
    bool SetTileNoticeRouting(bool active, QObject* target, int message);
    bool RequestGenTile(const TTileId& tile);
    bool RequestGenTile(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode);
    // The tile service of the generation workers a later RequestGenTile starts
    // (the settings' until set): a run's own, with the ages it was started with.
    void SetRunServer(TServerConfig server);
    void StopGenWorkers();
    // Why the generation workers' run must stop (a ban, a full cache, a dead
    // service), None while it may go on; and the seconds the service has asked
    // it to wait.
    TRunStop GenStopReason() const;
    int GenPausedSeconds() const;

    const std::string& CacheDir() const { return Cache.Folder(); }
    const TMapViewState& State() const { return View; }

    // TNoticeTarget: called from worker threads; posts a TTileNoticeEvent to this widget.
    void PostNotice(TTileNotice notice) override;

    // One zoom step about a point of this view: in for delta > 0, out otherwise.
    // The main window forwards the wheel events that reach it here.
    void WheelStep(int delta, QPoint viewPos);
    // The same about the pointer's current position.
    void WheelStep(int delta);

    // Read access for the main window's tests and our own.
    const QImage& MosaicImage() const;
    QWidget* MosaicWidget() const;
    QWidget* MarkerWidget() const;
    const QImage& LoadingTileImage() const;
    TAtlasThread* TileWorkerForTest() const;
    const TGenWorkerPool* GenWorkersForTest() const;

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void RebuildMosaic();
    void DrawTile(std::int32_t zoom, std::int32_t x, std::int32_t y, QImage& bitmap);
    void WMTileSaved(const TTileNoticeEvent& notice);
    void RouteNotice(int message, const TTileNoticeEvent& notice);
    void PlaceMosaicWidget();
    void PlaceMarker();
    void RaiseZoomChange(int oldZoom);
    // Pointer input of Mosaic and Marker, point in mosaic coordinates.
    void MapMouseDown(QObject* source, Qt::MouseButton button, TViewPoint q);
    void MapMouseMove(TViewPoint q, bool leftOnly);
    void MapMouseUp(QObject* source, Qt::MouseButton button, bool inside);
    void MapClick();

    // Implementation details are the view module's own.
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
    TMapViewState View;
    TTileCache Cache;
};
