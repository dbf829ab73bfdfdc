// TAtlasOffLineMainFM: the main window. The map view fills the left, the side
// panel on the right holds the generation parameters, the position read-outs
// and the buttons. The window keeps the generation parameters itself; the
// view's zoom is a separate value that cxComboBox1 merely displays.
// Everything here runs on the GUI thread.
#pragma once

#include <QComboBox>
#include <QFileDialog>
#include <QMainWindow>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "AtlasDialogs.h"
#include "GenerationPlan.h"
#include "GenerationRun.h"
#include "MapDataFile.h"
#include "NoticeTarget.h"
#include "SourceGate.h"
#include "PlanEstimates.h"
#include "ProgramPaths.h"
#include "Settings.h"

class QCheckBox;
class QEventLoop;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QToolButton;
class TAtlasClass;
class TAtlasHelpFM;
class TAtlasSetupFM;
class TAtlasDownLoadFM;
class TAtlasCheckDataFM;

// The windows the main window opens. They are created after it (start-up
// order) and live until the program ends; the main window does not own them.
struct TAtlasWindows {
    TAtlasHelpFM* AtlasHelpFM = nullptr;
    TAtlasSetupFM* AtlasSetupFM = nullptr;
    TAtlasDownLoadFM* AtlasDownLoadFM = nullptr;
    TAtlasCheckDataFM* AtlasCheckDataFM = nullptr;
};

// A drop-down list that reports every closing of its list, chosen or not.
class TZoomComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> OnCloseUp;
    void hidePopup() override;
};

class TAtlasOffLineMainFM : public QMainWindow {
public:
    // locations: where the settings file and the tile cache are (tests pass a temporary place).
    explicit TAtlasOffLineMainFM(TDataLocations locations = DefaultDataLocations(), QWidget* parent = nullptr);
    ~TAtlasOffLineMainFM() override;

    void SetWindows(const TAtlasWindows& windows);

    // A tile service that replaces the configured one in this window's runs
    // and view, so that a demo or test run never reaches the public service;
    // the settings themselves keep the file's.
    void SetServerOverride(std::optional<TServerConfig> server) { ServerOverride = std::move(server); }

    // Generation parameters and state, read by the generation run and the tests.
    double CenterLon() const { return FCenterLon; }
    double CenterLat() const { return FCenterLat; }
    int CurrentZoom() const { return FCurrentZoom; }
    int MaximumZoom() const { return FMaximumZoom; }
    // The calibration pair of the map type on display; plans and estimates use it.
    TDeltaPair ActivePair() const { return {DeltaLon, DeltaLat}; }
    bool Shown() const { return FShown; }
    TAtlasClass* MapView() const { return View.get(); }
    const TDataLocations& DataLocations() const { return Locations; }
    // The settings set read from the settings file at the first showing; the
    // settings window edits it.
    TSettingsFile& Settings() { return SettingsSet; }

    // File dialogs: save/open map data files, save/open map parameter files.
    static const TFileDialogParams SaveDialog1;
    static const TFileDialogParams OpenDialog1;
    static const TFileDialogParams SaveDialog2;
    static const TFileDialogParams OpenDialog2;

    // Controls, named as designed.
    QWidget* MapPanel;
    QFrame* Panel1;
    QLabel* Label1;
    QLabel* Label2;
    QLineEdit* cxMaskEdit1;
    QLabel* Label3;
    QLineEdit* cxMaskEdit2;
    QLabel* Label4;
    QLineEdit* cxMaskEdit3;
    QLabel* Label10;
    QLabel* Label11;
    QLineEdit* cxMaskEdit4;
    QLabel* Label12;
    QLineEdit* cxMaskEdit5;
    QLabel* Label5;
    TZoomComboBox* cxComboBox1;
    QToolButton* SpeedButton1;
    QLabel* Label9;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QRadioButton* RadioButton3;
    QRadioButton* RadioButton4;
    QFrame* Panel2;
    QLabel* Label6;
    TZoomComboBox* cxComboBox2;
    QLabel* Label7;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox4;
    QFrame* Panel3;
    QPushButton* BitBtn1;
    QToolButton* SpeedButton2;
    QToolButton* SpeedButton4;
    QToolButton* SpeedButton5;
    QLabel* Label8;
    QProgressBar* Gauge1;
    QToolButton* SpeedButton3;
    QLabel* ProgressLabel;  // tiles done of total, tiles per second, time left; shown with Gauge1
    QPushButton* BitBtn2;
    QPushButton* BitBtn3;

    // Handlers, named after the control and event.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void FormMouseWheel(QWheelEvent* e);
    void OnShowGPS(QObject* sender, double longitude, double latitude, int userData);
    void OnClickGPS(QObject* sender, double longitude, double latitude);
    void RadioButton1Click();
    void cxComboBox1PropertiesCloseUp();
    void cxComboBox2PropertiesCloseUp();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void BitBtn1Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void BitBtn2Click();
    void BitBtn3Click();

    // The generation run and the map parameter files.
    void RequestTiles();
    // How the run asks the map view for a tile.
    TGenerationRun::TRequest GenTileRequest();
    // The one way a run's downloading ends: the run takes why as its status
    // (an early stop such as Cancelled or Closing, or the end of the download),
    // the workers stop and the wait ends.
    void StopGeneration(TRunStatus why, const TRunStop& detail = {});
    // Saved-tile notices are counted.
    bool GenActive() const { return Run.Status() == TRunStatus::Downloading; }
    // Writes the run's file; returns which tiles got empty images and why.
    // With refuseUndecodable nothing is written when a cached tile no longer
    // decodes; the report lists those tiles.
    TMapDataWriteReport WriteMapData(const std::string& fileName, bool refuseUndecodable = false);
    // The pair the plan is projected with: the shown type's, zero when that type is written rectified.
    TDeltaPair PlanPair() const;
    void WMGenTileSaved(const TTileNotice& notice);
    void WMGenTileFailed(const TTileNotice& notice);
    void SaveParamFile(const QString& fileName);
    void OpenParamFile(const QString& fileName);

    // Run state, for the tests.
    const TGenerationPlan& RunPlan() const { return Run.TilePlan(); }
    const TMapDataHeader& RunSnapshot() const { return Run.Header(); }
    std::int64_t RemainingTiles() const { return Run.Outstanding(); }
    bool IsRunActive() const { return Run.Status() != TRunStatus::Idle; }
    const std::array<std::uint8_t, 19>& ReservedBytes() const { return Reserved; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void BuildPanel();
    void FitToWorkArea();
    void PlaceBottomButtons();
    void ShowZoom(QComboBox* combo, int zoom);
    void ShowMessage(const QString& text, const QString& detail = {});
    // The tile source entries that cannot be used, in one message.
    void ShowSourceProblems();
    // The tile service of the runs and the view: the settings', or the
    // override's with the ages the settings window keeps.
    TServerConfig RunServer() const;
    TTileCache RunCache() const { return TTileCache(Locations.CacheDir, RunServer()); }
    std::array<bool, MapTypeCount> IncludedTypes() const;
    void RunDownloadAndWrite();
    // Waits for the downloads in a nested event loop that handles input at
    // once; notices and cancel end it, a timer moves the gauge.
    void WaitForDownloads();
    // After the wait: true when every tile has arrived; otherwise the message
    // saying why the run ended (a stop, failed tiles, a cancel) was shown.
    bool DownloadsComplete();
    void EndWaitIfFinished();
    void UpdateGauge();
    // Estimates the plan's file size and fills the dialog's residual and size fields.
    void FillEstimates(const TGenerationParams& params);
    // After the dialog: refuses a plan that cannot fit even with blank tiles and
    // asks about one whose estimate does not fit; false stops the run.
    bool AcceptPlanSize();
    // Shows the progress line from the run's figures.
    void ShowDownloadProgress();

    TDataLocations Locations;
    TSettingsFile SettingsSet;
    std::optional<TServerConfig> ServerOverride;
    TAtlasWindows Windows;

    double FCenterLon = 0.0;
    double FCenterLat = 0.0;
    // The active pair: always the held pair of the type the view shows.
    double DeltaLon = 0.0;
    double DeltaLat = 0.0;
    void SetActivePair(TDeltaPair pair);
    bool FShown = false;
    int FCurrentZoom = 5;
    int FMaximumZoom = 5;
    // The generation run: the header snapshot, the plan and its accounting.
    // From Build to the clean-up the run is not Idle: BitBtn1Click is under way.
    TGenerationRun Run;
    QEventLoop* WaitLoop = nullptr;  // the download wait, while it runs
    TSizeEstimate RunSize;  // estimated before the dialog, checked after it
    std::array<std::uint8_t, 19> Reserved{};  // carried for the map parameter file

    // Removes what crashed runs left in the cache, off the GUI thread: a
    // large cache takes a moment to list.
    std::jthread CacheSweeper;
    bool WorkAreaFitted = false;    // the framed window has filled the work area once
    int FitAttempts = 0;            // fittings after show(), while the window manager places the window
    bool InFormMouseWheel = false;  // the wheel copy sent to the view must not come back here
    std::unique_ptr<TAtlasClass> View;
};
