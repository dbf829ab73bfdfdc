// The main window's generation run and its map parameter files: the generate
// button, the wait for the downloads, the cancel button, writing the map data
// file, and saving and restoring the generation parameters.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <filesystem>

#include "AtlasApplication.h"
#include "AtlasClass.h"
#include "AtlasDownLoad.h"
#include "AtomicFile.h"
#include "AtlasOffLineMain.h"
#include "MapParamFile.h"
#include "NumberFormat.h"
#include "Rectify.h"
#include "TileCache.h"
#include "ReasonText.h"

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// Thrown out of the writing when the window closes meanwhile: the file is
// abandoned (nothing is left behind) and no error is shown.
struct TWriteAbandoned {};

// Restores what a run changed on every way out of it, also when an error is raised.
class TRunCleanup {
public:
    explicit TRunCleanup(std::function<void()> cleanup) : Cleanup(std::move(cleanup)) {}
    ~TRunCleanup() { Cleanup(); }
    TRunCleanup(const TRunCleanup&) = delete;
    TRunCleanup& operator=(const TRunCleanup&) = delete;

private:
    std::function<void()> Cleanup;
};

// The lines after the completion message that say which tiles the file holds
// as empty images and why; nothing when every tile has its image.
QString BlankTilesText(const TBlankTiles& blank) {
    if (blank.Total() == 0) return {};
    QStringList why;
    auto add = [&why](std::int64_t n, const char* text) {
        if (n > 0) why << Text(text).arg(n);
    };
    add(blank.Gif, "%1 块是本程序无法解码的 GIF 图像");
    add(blank.Damaged, "%1 块图像已损坏");
    add(blank.Unrecognised, "%1 块不是可识别的图像");
    add(blank.Missing, "%1 块不在缓存中");
    add(blank.OutsideGrid, "%1 块超出地图范围");
    return Text("\n\n有 %1 块地图写为空白图像：").arg(blank.Total()) + why.join(Text("，")) + Text("。");
}

// One line per map type whose tiles are mostly one picture, byte for byte:
// a ban or "no data" picture shows here before anyone trusts the map.
QString SameTilesText(const std::array<TSameTiles, MapTypeCount>& same) {
    QString text;
    for (const TMapType type : AllMapTypes) {
        const TSameTiles& s = same[MapTypeIndex(type)];
        if (!s.Many()) continue;
        const std::string_view name = MapTypeName(type);
        text += Text("\n\n%1：有 %2 块地图的图像完全相同（SHA-256 %3），可能是地图服务器的占位图像。")
                    .arg(QString::fromUtf8(name.data(), qsizetype(name.size())))
                    .arg(s.Count)
                    .arg(QString::fromStdString(s.Digest));
    }
    return text;
}

}  // namespace

void TAtlasOffLineMainFM::ShowMessage(const QString& text, const QString& detail) {
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setInformativeText(detail);
    box.exec();
}

std::array<bool, MapTypeCount> TAtlasOffLineMainFM::IncludedTypes() const {
    return {CheckBox1->isChecked(), CheckBox2->isChecked(), CheckBox3->isChecked(), CheckBox4->isChecked()};
}

void TAtlasOffLineMainFM::BitBtn1Click() {
    // One run at a time: the button stays usable during a run but is ignored.
    if (IsRunActive()) return;
    if (FMaximumZoom < FCurrentZoom) {
        ShowMessage(Text("最大放大倍数小于当前放大倍数。"));
        return;
    }
    const auto included = IncludedTypes();
    if (!included[0] && !included[1] && !included[2] && !included[3]) {
        ShowMessage(Text("没有选择包含的地图类型。"));
        return;
    }
    TGenerationParams params;
    params.CenterLon = FCenterLon;
    params.CenterLat = FCenterLat;
    params.CurrentZoom = FCurrentZoom;
    params.MaxZoom = FMaximumZoom;
    params.Included = included;
    params.Rectify = SettingsSet.Values().Rectify;
    Run.TakeSnapshot(params, SettingsSet.Values().Deltas);

    const TPlanFigures figures = PlanFigures(params, PlanPair());
    if (Windows.AtlasDownLoadFM) {
        Windows.AtlasDownLoadFM->FillFields(QString::number(figures.LevelCount), QString::fromStdString(figures.MapSize),
                                            QString::fromStdString(figures.MaxMapSize),
                                            QString::number(figures.TotalTiles));
    }
    FillEstimates(params);
    if (Windows.AtlasDownLoadFM)
        Windows.AtlasDownLoadFM->FillRectify(
            params.Rectify ? Text("是，需下载 %1 块").arg(PlannedDownloadCount(params, PlanPair())) : Text("否"));
    if (Windows.AtlasDownLoadFM && Windows.AtlasDownLoadFM->exec() != QDialog::Accepted) return;
    if (!PlanFitsMapDataFile(PlannedEntryCount(params))) {
        ShowMessage(Text("地图数据太大，无法保存为一个地图数据文件，请减少最大放大倍数或包含的地图类型。"));
        return;
    }
    if (!AcceptPlanSize()) return;

    if (View) {
        View->SetRunServer(RunServer());
        View->SetTileNoticeRouting(true, this, WM_GENTILESAVED);
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    TRunCleanup cleanup([this] {
        Label8->hide();
        Gauge1->hide();
        SpeedButton3->hide();
        ProgressLabel->hide();
        Gauge1->setValue(50);
        if (View) View->SetTileNoticeRouting(false, nullptr, 0);
        const bool closing = Run.Status() == TRunStatus::Closing;
        Run.Clear();
        QApplication::restoreOverrideCursor();
        if (closing) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
    try {
        RunDownloadAndWrite();
    } catch (const TWriteAbandoned&) {
    } catch (const std::exception& e) {
        // Reported like any error that escapes a handler; the clean-up above still runs.
        TAtlasApplication::ShowErrorBox(ErrorText(e));
    }
}

void TAtlasOffLineMainFM::RunDownloadAndWrite() {
    Run.Build(PlanPair());
    if (Run.Progress().Total <= 0) return;

    Label8->show();
    Gauge1->show();
    SpeedButton3->show();
    Gauge1->setValue(0);
    RequestTiles();
    WaitForDownloads();
    // A stopped run keeps the share it reached beside its message.
    if (!IsEarlyStop(Run.Status())) Gauge1->setValue(100);
    if (!DownloadsComplete()) return;
    // Tiles are saved without a sync each: one for all before anything is written from them.
    const TTileCache cache = RunCache();
    cache.Sync();

    auto dialog = MakeFileDialog(SaveDialog1, this);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
    const QString fileName = dialog->selectedFiles().first();
    dialog.reset();
    QCoreApplication::processEvents();
    // Refused before writing starts rather than failing near the end.
    const std::filesystem::path folder = std::filesystem::path(fileName.toStdString()).parent_path();
    std::error_code ec;
    if (const auto space = std::filesystem::space(folder.empty() ? "." : folder, ec);
        !ec && std::int64_t(space.available) < RunSize.Bytes) {
        ShowMessage(Text("文件夹 %1 只有 %2 可用空间，地图数据文件约需 %3，地图数据未生成。")
                        .arg(QString::fromStdString(folder.string()))
                        .arg(QString::fromStdString(FormatByteSize(std::int64_t(space.available))))
                        .arg(QString::fromStdString(FormatByteSize(RunSize.Bytes))));
        return;
    }
    TMapDataWriteReport report = WriteMapData(fileName.toStdString(), true);
    QString fetchedAgain;
    if (!report.Written) {
        // Cached files that no longer decode are fetched again, not written blank.
        for (const TTileId& tile : report.Undecodable) {
            std::error_code removeError;
            std::filesystem::remove(cache.Path(tile), removeError);
        }
        SpeedButton3->show();
        Run.RequestAgain(report.Undecodable, GenTileRequest());
        WaitForDownloads();
        if (!DownloadsComplete()) return;
        cache.Sync();
        fetchedAgain = Text("\n\n有 %1 块缓存的地图已无法解码，已重新下载。").arg(report.Undecodable.size());
        report = WriteMapData(fileName.toStdString());
    }
    // Only a run that asked cached tiles again says how that went.
    const TGenerationRun::TOutcomes& o = Run.Outcomes();
    const QString refreshed = o.Unchanged + o.Updated + o.KeptStale == 0
                                  ? QString()
                                  : Text("\n\n新下载 %1 块，复查未变 %2 块，已更新 %3 块，服务不可用而沿用旧图 %4 块。")
                                        .arg(o.Downloaded).arg(o.Unchanged).arg(o.Updated).arg(o.KeptStale);
    ShowMessage(Text("地图生成操作完成") + fetchedAgain + refreshed + BlankTilesText(report.AllBlank()) +
                SameTilesText(report.Same));
}

bool TAtlasOffLineMainFM::DownloadsComplete() {
    // The workers stop before anything is written, whatever ended the wait.
    StopGeneration(Run.EndDownload(RunCache()));
    const TRunStop& stop = Run.StopDetail();
    switch (Run.Status()) {
    case TRunStatus::Downloaded: return true;
    case TRunStatus::ServiceDead:
        ShowMessage(Text("地图服务器 %1 没有响应，下载已停止，地图数据未生成。").arg(QString::fromStdString(stop.Host)));
        return false;
    case TRunStatus::AccessRefused:
        ShowMessage(Text("地图服务器 %1 拒绝访问（HTTP %2），下载已停止，地图数据未生成。")
                        .arg(QString::fromStdString(stop.Host))
                        .arg(stop.HttpStatus));
        return false;
    case TRunStatus::CacheFull: {
        const TGenerationRun::TProgress p = Run.Progress();
        const std::int64_t missing = p.Total - p.Done;
        const std::int64_t needed = RunSize.Entries > 0 ? RunSize.Bytes / RunSize.Entries * missing : 0;
        ShowMessage(Text("无法写入图块缓存文件夹 %1：%2。还有 %3 块地图约需 %4 的空间，下载已停止，地图数据未生成。")
                        .arg(QString::fromStdString(stop.Folder), ErrnoReasonText(stop.Errno))
                        .arg(missing)
                        .arg(QString::fromStdString(FormatByteSize(needed))));
        return false;
    }
    case TRunStatus::TilesFailed: {
        // Beneath the count, why the first of them failed: a full disk or a
        // refused source reads differently from a flaky network.
        const auto& [tile, why] = *Run.FailedTiles().begin();
        ShowMessage(Text("有 %1 块地图下载失败，地图数据未生成。").arg(Run.FailedTiles().size()),
                    QString::fromStdString(TileKey(tile) + ": ") + ReasonText(why));
        return false;
    }
    case TRunStatus::Closing: return false;
    case TRunStatus::Idle:
    case TRunStatus::Downloading:
    case TRunStatus::Writing:
    case TRunStatus::Cancelled:
    case TRunStatus::Interrupted: break;
    }
    ShowMessage(Text("地图下载过程被取消。"));
    return false;
}

void TAtlasOffLineMainFM::WaitForDownloads() {
    if (Run.Finished()) return;
    QEventLoop loop;
    QTimer gauge;
    connect(&gauge, &QTimer::timeout, this, &TAtlasOffLineMainFM::UpdateGauge);
    gauge.start(100);
    WaitLoop = &loop;
    loop.exec();
    WaitLoop = nullptr;
    // The last notices came after the last tick: the line shows the final count.
    ShowDownloadProgress();
}

void TAtlasOffLineMainFM::UpdateGauge() {
    const TGenerationRun::TProgress p = Run.Progress();
    Gauge1->setValue(ProgressPercent(p.Total - p.Done - p.Failed, p.Total));
    ShowDownloadProgress();
    if (GenActive() && View) {
        // A service that is down, unreachable or refuses this client, or a
        // cache that takes no more tiles: waiting longer helps nobody.
        if (const TRunStop stop = View->GenStopReason(); stop.Reason != TStopReason::None)
            StopGeneration(StatusOfStop(stop.Reason), stop);
    }
    EndWaitIfFinished();
}

void TAtlasOffLineMainFM::EndWaitIfFinished() {
    if (WaitLoop && Run.Finished()) WaitLoop->quit();
}

void TAtlasOffLineMainFM::FillEstimates(const TGenerationParams& params) {
    RunSize = EstimateMapDataSize(params, PlanPair(), RunCache());
    if (!Windows.AtlasDownLoadFM) return;
    // Rectified maps are off by the control grid's bound only: centimetres, so two decimals.
    const auto residual = params.Rectify ? RectifiedResidual(params, PlanPair())
                                         : CalibrationResidual(params, ActivePair(), SettingsSet.Values().Deltas);
    const QString residualText =
        residual ? Text("%1 米").arg(*residual, 0, 'f', params.Rectify ? 2 : *residual < 10 ? 1 : 0)
                 : Text("无（不含道路、地形图）");
    Windows.AtlasDownLoadFM->FillEstimates(residualText,
                                           Text("约 ") + QString::fromStdString(FormatByteSize(RunSize.Bytes)));
    // A plan too large to build is refused after the dialog, with its own message.
    try {
        const TCacheCounts fetch = CountCacheState(params, ActivePair(), RunCache());
        Windows.AtlasDownLoadFM->FillFetch(fetch.Missing, fetch.Expired);
    } catch (const std::exception&) {
        Windows.AtlasDownLoadFM->FetchEdit->clear();
    }
}

bool TAtlasOffLineMainFM::AcceptPlanSize() {
    if (!MinimumFits(RunSize)) {
        ShowMessage(Text("地图数据文件至少需要 %1（%2 块，每块不少于 %3 字节），超过 2 GB 的上限，无法生成。"
                         "请减少最大放大倍数或包含的地图类型。")
                        .arg(QString::fromStdString(FormatByteSize(RunSize.MinimumBytes)))
                        .arg(RunSize.Entries)
                        .arg(SmallestTileBytes));
        return false;
    }
    if (EstimateFits(RunSize)) return true;
    QMessageBox box(QMessageBox::Question, windowTitle(),
                    Text("估计地图数据文件大小为 %1（%2 块），超过 2 GB 的上限，下载后可能无法保存。是否继续？")
                        .arg(QString::fromStdString(FormatByteSize(RunSize.Bytes)))
                        .arg(RunSize.Entries),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("SizeQuestion"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TAtlasOffLineMainFM::ShowDownloadProgress() {
    const TRateFigures f = Run.Figures();
    const QString count = Text("%1/%2 块").arg(f.Done).arg(f.Total);
    // While the service holds the run, the wait it asked for says more than a
    // rate that is falling to nothing.
    const int paused = View && GenActive() ? View->GenPausedSeconds() : 0;
    const QString speed = paused > 0 ? Text("地图服务器要求暂停 %1 秒").arg(paused)
                                     : Text("%1 块/秒  剩余 %2")
                                           .arg(f.PerSecond, 0, 'f', f.PerSecond < 10 ? 1 : 0)
                                           .arg(QString::fromStdString(FormatDuration(f.SecondsLeft)));
    // One line while it fits the narrow panel; large counts break before the speed.
    const QString line = count + QStringLiteral("  ") + speed;
    const bool fits = ProgressLabel->fontMetrics().horizontalAdvance(line) <= ProgressLabel->width();
    ProgressLabel->setText(fits ? line : count + QLatin1Char('\n') + speed);
    ProgressLabel->show();
}

void TAtlasOffLineMainFM::RequestTiles() {
    if (View) Run.RequestTiles(GenTileRequest());
}

TGenerationRun::TRequest TAtlasOffLineMainFM::GenTileRequest() {
    return [this](const TTileId& tile) { return View && View->RequestGenTile(tile); };
}

TDeltaPair TAtlasOffLineMainFM::PlanPair() const {
    const TMapType shown = View ? View->MapType() : TMapType::Road;
    return SettingsSet.Values().Rectify && IsShiftedType(shown) ? TDeltaPair{} : ActivePair();
}

TMapDataWriteReport TAtlasOffLineMainFM::WriteMapData(const std::string& fileName, bool refuseUndecodable) {
    RemoveStaleTemporaryFiles(std::filesystem::path(fileName).parent_path().string());
    // The window keeps repainting while the file is written; the cancel button
    // has no meaning any more.
    SpeedButton3->hide();
    ProgressLabel->hide();
    Gauge1->setValue(0);
    Run.Stop(TRunStatus::Writing);
    const auto rectified = Run.Rectified();
    const bool rectify = std::find(rectified.begin(), rectified.end(), true) != rectified.end();
    auto progress = [this](std::int64_t done, std::int64_t total) {
        Gauge1->setValue(total > 0 ? int(done * 100 / total) : 100);
        QCoreApplication::processEvents();
        if (Run.Status() == TRunStatus::Closing) throw TWriteAbandoned{};
    };
    const TTileCache cache = RunCache();
    const TMapDataWriteReport report =
        rectify ? ::WriteMapData(fileName, Run.Header(), Run.OutputLists(), cache, progress, MapDataMaxFileSize, 0,
                                 refuseUndecodable, rectified)
                : ::WriteMapData(fileName, Run.Header(), Run.TilePlan().AllLists(), cache, progress, MapDataMaxFileSize,
                                 0, refuseUndecodable);
    Gauge1->setValue(100);
    return report;
}

void TAtlasOffLineMainFM::StopGeneration(TRunStatus why, const TRunStop& detail) {
    Run.Stop(why, detail);
    if (View) View->StopGenWorkers();
    EndWaitIfFinished();
}

void TAtlasOffLineMainFM::SpeedButton3Click() { StopGeneration(TRunStatus::Cancelled); }

void TAtlasOffLineMainFM::WMGenTileSaved(const TTileNotice& notice) {
    Run.HandleNotice(notice);
    EndWaitIfFinished();
}

void TAtlasOffLineMainFM::WMGenTileFailed(const TTileNotice& notice) {
    Run.HandleNotice(notice);
    EndWaitIfFinished();
}

void TAtlasOffLineMainFM::SpeedButton4Click() {
    auto dialog = MakeFileDialog(SaveDialog2, this);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
    SaveParamFile(dialog->selectedFiles().first());
}

void TAtlasOffLineMainFM::SpeedButton5Click() {
    auto dialog = MakeFileDialog(OpenDialog2, this);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
    OpenParamFile(dialog->selectedFiles().first());
}

void TAtlasOffLineMainFM::SaveParamFile(const QString& fileName) {
    const std::string name = fileName.toStdString();
    std::error_code ec;
    if (std::filesystem::exists(name, ec)) {
        QMessageBox box(QMessageBox::Question, Text("提示"), Text("文件已经存在是否要继续?"),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setObjectName(QStringLiteral("OverwriteQuestion"));
        if (box.exec() != QMessageBox::Yes) return;
    }
    TMapParamData data;
    data.CurrentZoom = FCurrentZoom;
    data.MaxZoom = FMaximumZoom;
    if (View) data.TileRect = View->TileRect();
    data.CenterLon = FCenterLon;
    data.CenterLat = FCenterLat;
    data.Reserved = Reserved;
    data.Included = IncludedTypes();
    try {
        SaveMapParamFile(name, data);
    } catch (const std::exception& e) {
        TAtlasApplication::ShowErrorBox(ErrorText(e));
    }
}

void TAtlasOffLineMainFM::OpenParamFile(const QString& fileName) {
    const auto loaded = LoadMapParamFile(fileName.toStdString());
    if (!loaded) {
        ShowMessage(ReadErrorText(loaded.Error(), fileName));
        return;
    }
    const TMapParamData& data = *loaded;
    FCurrentZoom = data.CurrentZoom;
    FMaximumZoom = data.MaxZoom;
    FCenterLon = data.CenterLon;
    FCenterLat = data.CenterLat;
    Reserved = data.Reserved;
    CheckBox1->setChecked(data.Included[0]);
    CheckBox2->setChecked(data.Included[1]);
    CheckBox3->setChecked(data.Included[2]);
    CheckBox4->setChecked(data.Included[3]);
    ShowZoom(cxComboBox1, FCurrentZoom);
    ShowZoom(cxComboBox2, FMaximumZoom);
    cxMaskEdit1->setText(QString::fromStdString(FormatReal(FCenterLon)));
    cxMaskEdit2->setText(QString::fromStdString(FormatReal(FCenterLat)));
    if (View) {
        // The stored rectangle is not applied: centring replaces it at once anyway.
        View->SetMapZoom(FCurrentZoom);
        View->SetCenter(FCenterLon, FCenterLat);
    }
}
