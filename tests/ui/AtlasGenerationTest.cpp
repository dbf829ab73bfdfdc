// The main window's generation run against the local tile server, its map
// parameter files, and one trip from dragging the map to viewing the file.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "AtlasCheckData.h"
#include "CliRunner.h"
#include "AtlasClass.h"
#include "AtlasDownLoad.h"
#include "AtlasOffLineMain.h"
#include "AtlasSetup.h"
#include "ChinaShift.h"
#include "Geometry.h"
#include "MapDataFile.h"
#include "MapParamFile.h"
#include "PlanEstimates.h"
#include "Rectify.h"
#include "Settings.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileCache.h"
#include "TileFileDecode.h"
#include "TileImage.h"
#include "UiTestSupport.h"
#include "WaitUntilQt.h"

namespace {

namespace fs = std::filesystem;

const QString Finished = QStringLiteral("地图生成操作完成");
const QString Cancelled = QStringLiteral("地图下载过程被取消。");

const QString Confirm = QStringLiteral("地图数据");  // the confirmation dialog's title

void AcceptConfirmation(QWidget* modal) {
    auto* dialog = dynamic_cast<TAtlasDownLoadFM*>(modal);
    ASSERT_NE(dialog, nullptr);
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
}

TModalAnswers::TStep SaveAs(const fs::path& file) {
    return [file](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        AcceptFileName(dialog, QString::fromStdString(file.string()));
    };
}

// Keeps a message box's text and clicks its OK button.
TModalAnswers::TStep NoteAndOk(QString& text) {
    return [&text](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        text = box->text();
        ClickOk(modal);
    };
}

// Runs action once, the first time pred holds, polled from whatever event loop is running.
void WhenTrue(std::function<bool()> pred, std::function<void()> action) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pred = std::move(pred), action = std::move(action)] {
        if (!pred()) return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start(10);
}

std::string FileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The largest channel difference between the mean colours of two 16x16 blocks
// (means, so that JPEG ringing around the drawn text evens out).
long BlockDifference(const QImage& a, QPoint atA, const QImage& b, QPoint atB) {
    long sum[3] = {};
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const QColor ca = a.pixelColor(atA + QPoint(x, y)), cb = b.pixelColor(atB + QPoint(x, y));
            sum[0] += ca.red() - cb.red(), sum[1] += ca.green() - cb.green(), sum[2] += ca.blue() - cb.blue();
        }
    return std::max({std::abs(sum[0]), std::abs(sum[1]), std::abs(sum[2])}) / 256;
}

class GenerationTest : public ::testing::Test {
protected:
    void MakeServer(std::vector<std::string> args = {}) { Server = std::make_unique<TTestTileServer>(std::move(args)); }

    void MakeWindow() {
        if (!Server) MakeServer();
        Window = std::make_unique<TAtlasOffLineMainFM>(TDataLocations{Dir / "AtlasPocket.Ini", CacheDir()});
        Window->SetServerOverride(Server->Config());
        Window->SetWindows({nullptr, nullptr, new TAtlasDownLoadFM(Window.get()), nullptr});
        Window->show();
        QCoreApplication::processEvents();
        ASSERT_NE(Window->MapView(), nullptr);
    }

    // Clicks the generate button and answers the windows it shows with steps,
    // in order; returns what was shown.
    QStringList Generate(std::vector<TModalAnswers::TStep> steps) const {
        TModalAnswers answers;
        for (auto& step : steps) answers.Then(std::move(step));
        QTest::mouseClick(Window->BitBtn1, Qt::LeftButton);
        return answers.Seen;
    }

    std::string CacheDir() const { return Dir.DirString() + "FileMap/"; }

    // Opens a zoom list, moves the selection by steps and takes it with Return.
    static void CloseUp(QComboBox* combo, int steps) {
        combo->showPopup();
        for (int i = 0; i < std::abs(steps); ++i)
            QTest::keyClick(combo->view(), steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        QTest::keyClick(combo->view(), Qt::Key_Return);
        QCoreApplication::processEvents();
    }

    // Checks the type boxes of the given type codes only.
    void Include(const std::string& types) const {
        const std::array<QCheckBox*, MapTypeCount> boxes{Window->CheckBox1, Window->CheckBox2, Window->CheckBox3, Window->CheckBox4};
        for (int t = 0; t < MapTypeCount; ++t) boxes[t]->setChecked(types.find(MapTypeCode(MapTypeAt(t))) != std::string::npos);
    }

    void ExpectCleanedUp() const {
        EXPECT_FALSE(Window->IsRunActive());
        EXPECT_FALSE(Window->Label8->isVisible());
        EXPECT_FALSE(Window->Gauge1->isVisible());
        EXPECT_FALSE(Window->SpeedButton3->isVisible());
        EXPECT_FALSE(Window->ProgressLabel->isVisible());
        EXPECT_EQ(Window->Gauge1->value(), 50);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(Window->RunPlan().TotalCount(), 0);
    }

    // Requests the server saw for one type's tiles.
    long RequestsOfType(TMapType type) const {
        const std::vector<std::string> order = Server->RequestOrder();
        return std::count_if(order.begin(), order.end(), [type](const std::string& r) { return r[0] == MapTypeCode(type)[0]; });
    }

    // Requests the server saw for the last run's tiles of one type and zoom, from its snapshot.
    long PlanAttempts(const std::string& type, int zoom) const {
        long n = 0;
        const std::map<std::string, int> attempts = Server->AttemptsByTile();
        const TTileRect& r = Window->RunSnapshot().TileRects[size_t(zoom)];
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y)
                if (const auto it = attempts.find(TTestTileServer::StatsKey(type, zoom, x, y)); it != attempts.end()) n += it->second;
        return n;
    }

    static void ExpectValidFile(const fs::path& file, std::size_t entries) {
        TMapDataReader reader;
        ASSERT_EQ(ErrorText(reader.Open(file.string())), "");
        EXPECT_EQ(reader.Entries().size(), entries);
        for (std::size_t i = 0; i < reader.Entries().size(); ++i) EXPECT_GT(reader.ImageSize(i), 0) << i;
    }

    TTempDir Dir;
    std::unique_ptr<TTestTileServer> Server;
    std::unique_ptr<TAtlasOffLineMainFM> Window;
};

}  // namespace

// Nothing starts: either refusal shows only its message, a cancelled confirmation changes nothing.
TEST_F(GenerationTest, RefusalsAndACancelledConfirmationStartNothing) {
    MakeWindow();
    const TMapDataHeader before = Window->RunSnapshot();
    const struct { int CurrentSteps; const char* Types; const char* Message; } rows[] = {
        {3, "m", "最大放大倍数小于当前放大倍数。"}, {0, "", "没有选择包含的地图类型。"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Message);
        CloseUp(Window->cxComboBox1, row.CurrentSteps);
        Include(row.Types);
        EXPECT_EQ(Generate({ClickOk}), QStringList{QString::fromUtf8(row.Message)});
        EXPECT_EQ(EncodeMapDataHeader(Window->RunSnapshot()), EncodeMapDataHeader(before));
        CloseUp(Window->cxComboBox1, -row.CurrentSteps);
        ExpectCleanedUp();
    }

    Include("s");  // a type the view does not show, so its requests are the run's
    const auto cancel = [](QWidget* modal) { QTest::mouseClick(dynamic_cast<TAtlasDownLoadFM*>(modal)->BitBtn2, Qt::LeftButton); };
    EXPECT_EQ(Generate({cancel}), QStringList{Confirm});
    ExpectCleanedUp();
    for (const TTileRect& r : Window->RunSnapshot().TileRects) EXPECT_EQ(r, TTileRect{});
    QCoreApplication::processEvents();
    EXPECT_EQ(RequestsOfType(TMapType::Satellite), 0);
}

TEST_F(GenerationTest, CancelMidRunWritesNothingAndStrayNoticesAreIgnored) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("m");
    // One plan tile is already cached, so it is done as soon as it is requested;
    // the others stay under way until the cancel, however slow the machine.
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907, Window->ActivePair());
    const int cx = int(c.X / TileSize), cy = int(c.Y / TileSize);
    fs::create_directories(CacheDir());
    std::ofstream(CacheDir() + TTileCache::TileFileName({TMapType::Road, 5, cx, cy}), std::ios::binary) << Server->TileBody("m", 5, cx, cy);
    Server->SetFault("*/*/*/*=slowbody:600000");

    WhenTrue([&] { return Window->Gauge1->isVisible(); },
             [&] {
                 const std::int64_t remaining = Window->RemainingTiles();
                 EXPECT_GT(remaining, 0);
                 EXPECT_LT(remaining, 25);
                 TTileNoticeEvent outside(WM_GENTILESAVED, {TNoticeKind::TileSaved, {TMapType::Road, 5, cx + 9, cy}, CacheDir() + TTileCache::TileFileName({TMapType::Road, 5, cx + 9, cy})});
                 QCoreApplication::sendEvent(Window.get(), &outside);
                 EXPECT_EQ(Window->RemainingTiles(), remaining);
                 Window->WMGenTileSaved({TNoticeKind::TileSaved, {TMapType::Road, 5, cx, cy}});  // a repeat
                 EXPECT_EQ(Window->RemainingTiles(), remaining);
                 QTest::mouseClick(Window->BitBtn1, Qt::LeftButton);  // ignored while the run is on
                 EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
                 EXPECT_TRUE(Window->IsRunActive());
                 QTest::mouseClick(Window->SpeedButton3, Qt::LeftButton);
             });
    EXPECT_EQ(Generate({AcceptConfirmation, ClickOk}), (QStringList{Confirm, Cancelled}));
    ExpectCleanedUp();
    for (const auto& entry : fs::directory_iterator(Dir.Path())) EXPECT_NE(entry.path().extension(), ".Dat");
}

TEST_F(GenerationTest, FailedTileStopsTheRunAndTheRetryFetchesOnlyIt) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");  // not the shown type: every request of it is the run's
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907, Window->ActivePair());
    const int fx = int(c.X / TileSize) + 1, fy = int(c.Y / TileSize);
    Server->SetFault("p", 5, fx, fy, "html");

    EXPECT_EQ(Generate({AcceptConfirmation, ClickOk}),
              (QStringList{Confirm, QStringLiteral("有 1 块地图下载失败，地图数据未生成。")}));
    ExpectCleanedUp();
    EXPECT_GE(Server->Attempts("p", 5, fx, fy), 1);
    for (const auto& entry : fs::directory_iterator(Dir.Path())) EXPECT_NE(entry.path().extension(), ".Dat");

    Server->Reset();
    const fs::path file = Dir / "retry.Dat";
    EXPECT_EQ(Generate({AcceptConfirmation, SaveAs(file), ClickOk}), (QStringList{Confirm, "file", Finished}));
    EXPECT_EQ(Server->Attempts("p", 5, fx, fy), 1);
    EXPECT_EQ(RequestsOfType(TMapType::Terrain), 1);
    ExpectValidFile(file, 25);
    ExpectCleanedUp();
}

TEST_F(GenerationTest, ParameterFileRoundTripAndRefusals) {
    MakeWindow();
    QTest::mouseClick(Window->RadioButton2, Qt::LeftButton);
    const TDeltaPair pair = Window->ActivePair();
    // Before any file was opened the reserved bytes are zero.
    const fs::path fresh = Dir / "fresh.Map";
    Window->SaveParamFile(QString::fromStdString(fresh.string()));
    EXPECT_EQ(FileBytes(fresh).substr(40, 19), std::string(19, '\0'));

    TMapParamData stored{7, 9, {}, 100.5, 30.25, {}, {true, false, true, false}};
    for (std::size_t i = 0; i < stored.Reserved.size(); ++i) stored.Reserved[i] = std::uint8_t(0xA0 + i);
    auto raw = EncodeMapParam(stored);
    raw[61] = 2;  // any non-zero flag means checked
    const std::string originalBytes(raw.begin(), raw.end());
    const fs::path original = Dir / "original.Map";
    std::ofstream(original, std::ios::binary) << originalBytes;

    Window->OpenParamFile(QString::fromStdString(original.string()));
    EXPECT_EQ(Window->cxComboBox1->currentText(), "7");
    EXPECT_EQ(Window->cxComboBox2->currentText(), "9");
    EXPECT_EQ(Window->cxMaskEdit1->text(), "100.5");
    EXPECT_EQ(Window->cxMaskEdit2->text(), "30.25");
    EXPECT_EQ((std::array{Window->CheckBox1->isChecked(), Window->CheckBox2->isChecked(), Window->CheckBox3->isChecked(),
                          Window->CheckBox4->isChecked()}), stored.Included);
    EXPECT_EQ(Window->ReservedBytes(), stored.Reserved);
    EXPECT_EQ(Window->MapView()->MapZoom(), 7);
    const TLonLat shown = Window->MapView()->State().ClickPosition();  // under the panel centre
    EXPECT_NEAR(shown.Lon, 100.5, 0.05);
    EXPECT_NEAR(shown.Lat, 30.25, 0.05);
    EXPECT_TRUE(Window->RadioButton2->isChecked());
    EXPECT_EQ(std::pair(Window->ActivePair().Lon, Window->ActivePair().Lat), std::pair(pair.Lon, pair.Lat));

    // Saved again through the button and its dialog: the same bytes except
    // the view's rectangle and the flag written as 1.
    const fs::path copy = Dir / "copy.Map";
    TModalAnswers save;
    save.Then(SaveAs(copy));
    QTest::mouseClick(Window->SpeedButton4, Qt::LeftButton);
    EXPECT_EQ(save.Seen, QStringList{"file"});
    const std::string copyBytes = FileBytes(copy);
    ASSERT_EQ(copyBytes.size(), MapParamFileSize);
    EXPECT_EQ(copyBytes.substr(0, 8) + copyBytes.substr(24), originalBytes.substr(0, 8) + originalBytes.substr(24, 37) + '\1' + originalBytes.substr(62));

    // Declining to overwrite leaves the old file as it was.
    TModalAnswers decline;
    decline.Then([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_TRUE(box && box->button(QMessageBox::No));
        box->button(QMessageBox::No)->click();
    });
    Window->SaveParamFile(QString::fromStdString(original.string()));
    EXPECT_EQ(decline.Seen, QStringList{QStringLiteral("文件已经存在是否要继续?")});
    EXPECT_EQ(FileBytes(original), originalBytes);

    // Refused files change nothing.
    const fs::path shortFile = Dir / "short.Map";
    std::ofstream(shortFile, std::ios::binary) << originalBytes.substr(0, 40);
    const struct { fs::path File; const char* Message; } refused[] = {
        {shortFile, MapParamDamagedText}, {Dir / "missing.Map", MapParamMissingText}};
    Window->CheckBox4->setChecked(true);
    for (const auto& row : refused) {
        SCOPED_TRACE(row.Message);
        TModalAnswers answers;
        answers.Then(ClickOk);
        Window->OpenParamFile(QString::fromStdString(row.File.string()));
        EXPECT_EQ(answers.Seen, QStringList{QString::fromUtf8(row.Message)});
        EXPECT_EQ(std::pair(Window->CurrentZoom(), Window->MaximumZoom()), std::pair(7, 9));
        EXPECT_EQ(Window->CenterLon(), 100.5);
        EXPECT_TRUE(Window->CheckBox4->isChecked());
        EXPECT_EQ(Window->ReservedBytes(), stored.Reserved);
    }
}

// From dragging the map to viewing the written file; then the same plan again, every tile in the cache.
TEST_F(GenerationTest, WholeRoadFromDraggingTheMapToViewingTheFileThenAnAllCachedRepeat) {
    MakeWindow();
    QWidget* mosaic = Window->MapView()->MosaicWidget();
    const double lonBefore = Window->CenterLon();
    const QPoint origin = mosaic->pos();
    QTest::mousePress(mosaic, Qt::LeftButton, {}, QPoint(300, 300) - origin);
    for (int step = 1; step <= 4; ++step) QTest::mouseMove(mosaic, QPoint(300 - 30 * step, 300 - 20 * step) - mosaic->pos());
    QTest::mouseRelease(mosaic, Qt::LeftButton, {}, QPoint(180, 220) - mosaic->pos());
    EXPECT_NE(mosaic->pos(), origin);
    QTest::mouseClick(mosaic, Qt::LeftButton, {}, QPoint(200, 200) - mosaic->pos());
    ASSERT_NE(Window->CenterLon(), lonBefore);

    CloseUp(Window->cxComboBox1, 10 - Window->cxComboBox1->currentText().toInt());
    CloseUp(Window->cxComboBox2, 11 - Window->cxComboBox2->currentText().toInt());
    ASSERT_EQ(Window->CurrentZoom(), 10);
    ASSERT_EQ(Window->MaximumZoom(), 11);
    QTest::mouseClick(Window->CheckBox1, Qt::LeftButton);
    QTest::mouseClick(Window->CheckBox3, Qt::LeftButton);

    const fs::path file = Dir / "road.Dat";
    QStringList fields;
    const auto confirm = [&](QWidget* modal) {
        auto* d = dynamic_cast<TAtlasDownLoadFM*>(modal);
        fields = {d->Edit1->text(), d->Edit2->text(), d->Edit3->text(), d->Edit4->text()};
        AcceptConfirmation(modal);
    };
    ASSERT_EQ(Generate({confirm, SaveAs(file), ClickOk}), (QStringList{Confirm, "file", Finished}));
    EXPECT_EQ(fields, (QStringList{"2", "1280 x 1280", "3328 x 3328", "194"}));
    ExpectValidFile(file, 2 * (25 + 169));
    ExpectCleanedUp();

    TAtlasCheckDataFM viewer(Window.get());
    viewer.SetFilePath(QString::fromStdString(file.string()));
    viewer.show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(viewer.FileOpen());
    ASSERT_EQ(viewer.ComboBox1->count(), 2);
    viewer.ComboBox1->setFocus();
    QTest::keyClick(viewer.ComboBox1, Qt::Key_Down);
    QTest::mouseClick(viewer.RadioButton3, Qt::LeftButton);
    ASSERT_EQ(viewer.State().ViewZoom, 11);
    ASSERT_EQ(viewer.ViewType(), TMapType::Satellite);
    const QPoint press(250, 250);
    QTest::mousePress(viewer.Map, Qt::LeftButton, {}, press - viewer.Map->pos());
    QTest::mouseMove(viewer.Map, QPoint(200, 190) - viewer.Map->pos());
    QTest::mouseRelease(viewer.Map, Qt::LeftButton, {}, QPoint(200, 190) - viewer.Map->pos());

    // Every tile shown inside the file's extent looks like the tile the server sent.
    const TViewerState& s = viewer.State();
    const TTileRect extent = Window->RunSnapshot().TileRects[11];
    int compared = 0;
    for (std::int64_t x = std::max<std::int64_t>(s.ViewLeft, extent.Left); x <= std::min<std::int64_t>(s.ViewRight, extent.Right); ++x)
        for (std::int64_t y = std::max<std::int64_t>(s.ViewTop, extent.Top); y <= std::min<std::int64_t>(s.ViewBottom, extent.Bottom); ++y) {
            const std::string cached = CacheDir() + TTileCache::TileFileName({TMapType::Satellite, 11, int(x), int(y)});
            const auto tile = DecodeTileFile(cached, *GetTileFileType(cached));
            ASSERT_TRUE(tile) << cached;
            const QImage source(tile->Rgb.data(), tile->Width, tile->Height, tile->Width * 3, QImage::Format_RGB888);
            const QPoint shownAt(int((x - s.ViewLeft) * TileSize), int((y - s.ViewTop) * TileSize));
            for (QPoint at : {QPoint(8, 8), QPoint(120, 60), QPoint(200, 220)})
                EXPECT_LE(BlockDifference(viewer.Map->Picture(), shownAt + at, source, at), 20) << x << "," << y;
            ++compared;
        }
    EXPECT_GT(compared, 0);
    viewer.done(QDialog::Rejected);

    const auto attempts = [&] { return PlanAttempts("m", 10) + PlanAttempts("m", 11) + PlanAttempts("s", 10) + PlanAttempts("s", 11); };
    const long attemptsBefore = attempts();
    ASSERT_GE(attemptsBefore, 2 * (25 + 169));  // each plan tile was fetched, by the run or the view
    const fs::path second = Dir / "second.Dat";
    int gaugeAtSave = -1;
    const auto save = [&](QWidget* modal) {
        gaugeAtSave = Window->Gauge1->value();
        SaveAs(second)(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, save, ClickOk}), (QStringList{Confirm, "file", Finished}));
    EXPECT_EQ(gaugeAtSave, 100);
    EXPECT_EQ(attempts(), attemptsBefore);
    ExpectValidFile(second, 2 * (25 + 169));
    ExpectCleanedUp();

    // A declined save dialog writes nothing and says nothing.
    EXPECT_EQ(Generate({AcceptConfirmation}), (QStringList{Confirm, "file"}));  // the save dialog is rejected
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 3);  // cache and two files
    ExpectCleanedUp();
}

TEST_F(GenerationTest, HugePlansAreRefusedAndClosingTheWindowStopsARun) {
    MakeServer({"--latency-ms", "300"});
    MakeWindow();
    // Zoom 5 to 17 with every type: the confirmation shows the figures, then the plan is refused.
    CloseUp(Window->cxComboBox2, 12);
    Include("mpsy");
    QString refusal;
    const auto note = NoteAndOk(refusal);
    EXPECT_EQ(Generate({AcceptConfirmation, note}).size(), 2);
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("地图数据太大"))) << refusal.toStdString();
    ExpectCleanedUp();

    // Closing during the downloads stops them first; the window goes once the run has cleaned up.
    CloseUp(Window->cxComboBox2, -11);
    Include("s");
    WhenTrue([&] { return Window->Gauge1->isVisible(); }, [&] { Window->close(); });
    EXPECT_EQ(Generate({AcceptConfirmation}), QStringList{Confirm});
    ExpectCleanedUp();
    EXPECT_TRUE(WaitUntil([&] { return !Window->isVisible(); }, std::chrono::seconds(5), ProcessEventsBriefly));
    const TGenWorkerPool* pool = Window->MapView()->GenWorkersForTest();
    EXPECT_TRUE(pool == nullptr || pool->WorkerCount() == 0);
}

namespace {

void AnswerNo(QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
}

}  // namespace

// The dialog's residual and size lines, the refusal of a plan that cannot fit
// even with the smallest tiles and the question for one whose estimate does not.
TEST_F(GenerationTest, ConfirmationShowsResidualAndSizeAndOversizedPlansStopBeforeDownloading) {
    MakeWindow();
    CloseUp(Window->cxComboBox1, 10 - Window->cxComboBox1->currentText().toInt());
    CloseUp(Window->cxComboBox2, 12 - Window->cxComboBox2->currentText().toInt());
    Include("ms");
    QStringList lines;
    const auto look = [&](QWidget* modal) {
        auto* d = dynamic_cast<TAtlasDownLoadFM*>(modal);
        lines = {d->ResidualEdit->text(), d->SizeEdit->text(), d->RectifyEdit->text()};
        QTest::mouseClick(d->BitBtn2, Qt::LeftButton);
    };
    EXPECT_EQ(Generate({look}), QStringList{Confirm});
    const TGenerationParams params{Window->CenterLon(), Window->CenterLat(), 10, 12, {true, false, true, false}};
    const double residual = *CalibrationResidual(params, Window->ActivePair(), Window->Settings().Values().Deltas);
    EXPECT_EQ(lines[0], QStringLiteral("%1 米").arg(residual, 0, 'f', 0));
    EXPECT_EQ(lines[1], QStringLiteral("约 ") + QString::fromStdString(FormatByteSize(
                                                     EstimateMapDataSize(params, Window->ActivePair(), TTileCache(CacheDir(), Window->Settings().Values().Server)).Bytes)));
    EXPECT_EQ(lines[2], QStringLiteral("否"));
    // Rectified: the residual is the control grid's, the download count that of the shifted sources.
    Window->Settings().WriteRectify(true);
    EXPECT_EQ(Generate({look}), QStringList{Confirm});
    Window->Settings().WriteRectify(false);
    TGenerationParams rectified = params;
    rectified.Rectify = true;
    EXPECT_EQ(lines[0], QStringLiteral("%1 米").arg(*RectifiedResidual(rectified, {}), 0, 'f', 2));
    EXPECT_EQ(lines[2], QStringLiteral("是，需下载 %1 块").arg(PlannedDownloadCount(rectified, {})));
    Include("s");
    EXPECT_EQ(Generate({look}), QStringList{Confirm});
    EXPECT_EQ(lines[0], QStringLiteral("无（不含道路、地形图）"));

    CloseUp(Window->cxComboBox1, 5 - Window->CurrentZoom());
    CloseUp(Window->cxComboBox2, 12 - Window->MaximumZoom());
    QString refusal;
    const auto note = NoteAndOk(refusal);
    EXPECT_EQ(Generate({AcceptConfirmation, note}).size(), 2);
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("地图数据文件至少需要"))) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QStringLiteral("1385912 块"))) << refusal.toStdString();
    ExpectCleanedUp();

    CloseUp(Window->cxComboBox2, 11 - Window->MaximumZoom());
    const QStringList seen = Generate({AcceptConfirmation, AnswerNo});
    ASSERT_EQ(seen.size(), 2);
    EXPECT_TRUE(seen[1].startsWith(QStringLiteral("估计地图数据文件大小为"))) << seen[1].toStdString();
    ExpectCleanedUp();
    EXPECT_EQ(Window->RunPlan().TotalCount(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(RequestsOfType(TMapType::Satellite), 0) << "nothing is downloaded for a refused plan";
}

// The line under the gauge: tiles done of total, tiles per second, time left.
TEST_F(GenerationTest, ProgressLineShowsTilesRateAndTimeLeft) {
    MakeServer({"--latency-ms", "200"});
    MakeWindow();
    CloseUp(Window->cxComboBox1, 10 - Window->cxComboBox1->currentText().toInt());
    CloseUp(Window->cxComboBox2, 11 - Window->cxComboBox2->currentText().toInt());
    Include("s");
    // 150 tiles arrive, the rest stay under way: the run cannot end before the line is read twice.
    Server->SetFault("s/*/*/*=slowbody:600000");
    Server->SetFault("s/*/*/*=failfirst:0@150");
    const QRegularExpression format(QStringLiteral("^(\\d+)/194 块(?:  |\\n)([\\d.]+) 块/秒  剩余 (\\d+:\\d\\d)$"));
    // The line as shown, and the tiles done that it states (-1 while it states none).
    QStringList texts;
    const auto shownDone = [&] {
        const auto m = format.match(Window->ProgressLabel->text());
        return Window->ProgressLabel->isVisible() && m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    const auto cancel = [&] { QTest::mouseClick(Window->SpeedButton3, Qt::LeftButton); };
    WhenTrue([&] { return shownDone() >= 1; }, [&] {
        texts << Window->ProgressLabel->text();
        const int first = shownDone();
        WhenTrue([&, first] { return shownDone() > first; }, [&] {
            texts << Window->ProgressLabel->text();
            cancel();
        });
    });
    QTimer::singleShot(120000, Window.get(), [&] { if (Window->IsRunActive()) cancel(); });  // a line that never moves
    EXPECT_EQ(Generate({AcceptConfirmation, ClickOk}), (QStringList{Confirm, Cancelled}));
    ASSERT_EQ(texts.size(), 2);
    int done[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto m = format.match(texts[i]);
        ASSERT_TRUE(m.hasMatch()) << texts[i].toStdString();
        done[i] = m.captured(1).toInt();
        EXPECT_GT(m.captured(2).toDouble(), 0.0) << texts[i].toStdString();
    }
    EXPECT_GE(done[0], 1);
    EXPECT_GT(done[1], done[0]) << "the line moved";
    ExpectCleanedUp();
}

// The settings window's automatic calibration, reached from the main window:
// the shown terrain map's pair follows, and the next file carries the new Deltas.
TEST_F(GenerationTest, AutoCalibrationReachesTheActivePairAndTheFile) {
    MakeWindow();
    auto* setup = new TAtlasSetupFM(Window->Settings(), Window.get());
    Window->SetWindows({nullptr, setup, new TAtlasDownLoadFM(Window.get()), nullptr});
    QTest::mouseClick(Window->RadioButton2, Qt::LeftButton);
    {
        TModalAnswers answers;
        answers.Then([](QWidget* modal) {
            auto* form = dynamic_cast<TAtlasSetupFM*>(modal);
            ASSERT_NE(form, nullptr);
            QTest::mouseClick(form->AutoCalibrateButton, Qt::LeftButton);
            QMetaObject::invokeMethod(form, "reject");
        });
        QTest::mouseClick(Window->BitBtn2, Qt::LeftButton);
        EXPECT_EQ(answers.Seen, QStringList{QStringLiteral("参数设置")});
    }
    const TDeltaPair shift = ChinaShift(Window->CenterLon(), Window->CenterLat());
    EXPECT_EQ(Window->ActivePair().Lon, shift.Lon);
    EXPECT_EQ(Window->ActivePair().Lat, shift.Lat);
    EXPECT_EQ(Window->MapView()->DeltaPair().Lat, shift.Lat);

    Include("p");
    const fs::path file = Dir / "calibrated.Dat";
    ASSERT_EQ(Generate({AcceptConfirmation, SaveAs(file), ClickOk}), (QStringList{Confirm, "file", Finished}));
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open(file.string())), "");
    for (int t : {0, 1}) {
        EXPECT_EQ(reader.Header().Deltas[t].Lon, shift.Lon);
        EXPECT_EQ(reader.Header().Deltas[t].Lat, shift.Lat);
    }
    EXPECT_EQ(reader.Header().Deltas[2].Lon, TAtlasSettings().Deltas[2].Lon);
}

// While a run waits for its downloads every event is handled at once: a chain
// of 200 events, each posting the next, ends long before a 100 ms poll could
// have passed them along. Cancel against a server that never answers ends the
// run without waiting for it; a service that only fails is given up on, named.
TEST_F(GenerationTest, WaitingRunAnswersAtOnceAndStopsWithoutWaitingForTheNetwork) {
    MakeServer();
    Server->SetFault("*/*/*/*=slowfail:600000");
    MakeWindow();
    Include("s");
    int chain = 0;
    QElapsedTimer chainTime, cancelTime;
    qint64 chainMs = -1, cancelMs = -1;
    std::function<void()> step = [&] {
        if (++chain < 200) return QTimer::singleShot(0, Window.get(), step);
        chainMs = chainTime.elapsed();
        cancelTime.start();
        QTest::mouseClick(Window->SpeedButton3, Qt::LeftButton);
    };
    WhenTrue([&] { return Window->Gauge1->isVisible() && Server->TotalRequests() >= 5; },
             [&] {
                 chainTime.start();
                 QTimer::singleShot(0, Window.get(), step);
             });
    const auto noted = [&](QWidget* modal) {
        cancelMs = cancelTime.elapsed();
        ClickOk(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, noted}), (QStringList{Confirm, Cancelled}));
    std::printf("200 chained events during the wait: %lld ms; cancel to message: %lld ms\n", (long long)chainMs,
                (long long)cancelMs);
    // Bounds that only a poll (200 × 100 ms) or a wait for the 30 s transfer time-out would pass.
    EXPECT_LT(chainMs, 15000);
    EXPECT_LT(cancelMs, 25000);
    ExpectCleanedUp();

    // Only failures for two 0.3 s time-outs on every worker: the run stops and names the host.
    std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nTRANSFER_TIMEOUT=0.3\r\n";
    Window.reset();
    MakeWindow();
    Include("s");
    QString message;
    const auto note = NoteAndOk(message);
    EXPECT_EQ(Generate({AcceptConfirmation, note}).size(), 2);
    EXPECT_TRUE(message.startsWith(QStringLiteral("地图服务器 127.0.0.1 没有响应"))) << message.toStdString();
    ExpectCleanedUp();
    for (const auto& entry : fs::directory_iterator(Dir.Path())) EXPECT_NE(entry.path().extension(), ".Dat");
}

// A GIF an earlier version cached can never be shown: it is fetched again
// before the file is written, and the completion message says so.
TEST_F(GenerationTest, UndecodableCachedTilesAreFetchedAgainAndNamedInTheCompletionMessage) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907, Window->ActivePair());
    const TTileId gif{TMapType::Terrain, 5, int(c.X / TileSize), int(c.Y / TileSize)};
    fs::create_directories(CacheDir());
    std::ofstream(CacheDir() + TTileCache::TileFileName(gif), std::ios::binary)
        << std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13);
    QString message;
    const auto note = NoteAndOk(message);
    EXPECT_EQ(Generate({AcceptConfirmation, SaveAs(Dir / "gif.Dat"), note}).size(), 3);
    EXPECT_EQ(message, Finished + QStringLiteral("\n\n有 1 块缓存的地图已无法解码，已重新下载。"));
    EXPECT_EQ(Server->Attempts("p", 5, gif.X, gif.Y), 1);
}

// One picture served for every tile is written, but the completion message names it.
TEST_F(GenerationTest, OnePictureForEveryTileIsNamedInTheCompletionMessage) {
    MakeWindow();
    Server->SetFault("*/*/*/*=picture:256");
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    QString message;
    const auto note = NoteAndOk(message);
    EXPECT_EQ(Generate({AcceptConfirmation, SaveAs(Dir / "same.Dat"), note}).size(), 3);
    EXPECT_TRUE(message.startsWith(Finished + QStringLiteral("\n\n地形地貌图：有 "))) << message.toStdString();
    EXPECT_TRUE(message.contains(QRegularExpression(
        QStringLiteral("块地图的图像完全相同（SHA-256 [0-9a-f]{64}），可能是地图服务器的占位图像。$"))))
        << message.toStdString();
}

// A service that refuses every request stops the run at once with its own message.
TEST_F(GenerationTest, ABanStopsTheRunWithAMessageAndWritesNothing) {
    MakeWindow();
    Server->SetFault("*/*/*/*=refuseafter:0");
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    QString message;
    int gauge = -1;
    const auto note = [&](QWidget* modal) {
        gauge = Window->Gauge1->value();
        NoteAndOk(message)(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, note}).size(), 2);
    EXPECT_EQ(message, QStringLiteral("地图服务器 127.0.0.1 拒绝访问（HTTP 403），下载已停止，地图数据未生成。"));
    EXPECT_LT(gauge, 100) << "a stopped run is not shown as complete";
    ExpectCleanedUp();
    for (const auto& entry : fs::directory_iterator(Dir.Path())) EXPECT_NE(entry.path().extension(), ".Dat");
}

// With the settings checkbox on, the window's run downloads the shifted
// sources and writes the true-coordinate squares with zero road and terrain offsets.
TEST_F(GenerationTest, RectifiedRunWritesTrueCoordinateSquares) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    struct TRestore {
        TSettingsFile& Settings;
        ~TRestore() { Settings.WriteRectify(false); }
    } restore{Window->Settings()};
    Window->Settings().WriteRectify(true);
    QString message;
    const auto note = NoteAndOk(message);
    EXPECT_EQ(Generate({AcceptConfirmation, SaveAs(Dir / "r.Dat"), note}).size(), 3);
    EXPECT_EQ(message, Finished);
    TMapDataReader reader;
    ASSERT_TRUE(reader.Open((Dir / "r.Dat").string()));
    const TMapDataHeader& h = reader.Header();
    EXPECT_EQ(h.Deltas[1].Lon, 0.0);
    EXPECT_EQ(h.Deltas[1].Lat, 0.0);
    EXPECT_EQ(h.EntryCount, 25);
    TGenerationParams params{Window->CenterLon(), Window->CenterLat(), 5, 5, {false, true, false, false}, true};
    EXPECT_EQ(h.TileRects[5], GetZoomRect(params, 5, 1, {}));
    // Every shifted source was fetched (the map view fetches tiles of its own besides).
    const QStringList asked = [&] {
        QStringList l;
        for (const std::string& r : Server->RequestOrder()) l << QString::fromStdString(r);
        return l;
    }();
    const TTileRect source = SourceRect(5, h.TileRects[5]);
    EXPECT_EQ(source.Count(), PlannedDownloadCount(params, {}));
    for (int x = source.Left; x <= source.Right; ++x)
        for (int y = source.Top; y <= source.Bottom; ++y)
            EXPECT_TRUE(asked.contains(QStringLiteral("p/5/%1/%2").arg(x).arg(y))) << x << " " << y;
}

// The window and the command line count the same faults alike: a tile that
// always fails is the one failure, a tile that fails twice and then arrives
// is not, and neither writes a file.
TEST_F(GenerationTest, WindowAndCommandLineGiveTheSameOutcomeForTheSameFaults) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907, Window->ActivePair());
    const int cx = int(c.X / TileSize), cy = int(c.Y / TileSize);
    const auto setFaults = [&] {
        Server->Reset();
        Server->SetFault("p", 5, cx + 1, cy, "html");
        Server->SetFault("p", 5, cx, cy + 1, "failfirst:2");
    };
    setFaults();
    QString why;  // beneath the message: which tile and why its last attempt failed
    const auto readDetail = [&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) why = box->informativeText();
        ClickOk(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, readDetail}),
              (QStringList{Confirm, QStringLiteral("有 1 块地图下载失败，地图数据未生成。")}));
    EXPECT_EQ(why, QStringLiteral("p_5_%1_%2: HTTP 200，回应不是图片").arg(cx + 1).arg(cy));
    EXPECT_EQ(Server->Attempts("p", 5, cx, cy + 1), 3);
    EXPECT_TRUE(fs::exists(CacheDir() + TTileCache::TileFileName({TMapType::Terrain, 5, cx, cy + 1})));

    setFaults();
    std::ofstream(Dir / "cli.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=" << Server->Port() << "\r\n";
    const TRun cli = RunCli({"generate", "--center", "116.391,39.907", "--zoom", "5", "--types", "p", "--view-type", "m",
                             "--out", (Dir / "cli.Dat").string(), "--settings", (Dir / "cli.Ini").string(), "--cache",
                             (Dir / "cli-cache").string(), "--yes"},
                            Dir);
    EXPECT_EQ(cli.Exit, 3) << cli.Err;
    EXPECT_NE(cli.Err.find("1 tiles could not be downloaded"), std::string::npos) << cli.Err;
    EXPECT_NE(cli.Err.find("p zoom 5 x " + std::to_string(cx + 1) + " y " + std::to_string(cy) +
                           ": HTTP 200, the answer is no image"),
              std::string::npos);
    EXPECT_EQ(Server->Attempts("p", 5, cx, cy + 1), 3);
    EXPECT_TRUE(fs::exists(Dir / "cli-cache" / TTileCache::TileFileName({TMapType::Terrain, 5, cx, cy + 1})));
    EXPECT_FALSE(fs::exists(Dir / "cli.Dat"));
}

// A service that asks for a pause pauses the run, says so on the progress
// line, and then every tile arrives without using up its attempts.
TEST_F(GenerationTest, APauseAskedByTheServiceIsShownAndTheRunCompletes) {
    MakeWindow();
    Server->SetFault("p/*/*/*=ratelimit:1#1");
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");
    bool pauseShown = false;
    WhenTrue([&] { return Window->ProgressLabel->text().contains(QStringLiteral("地图服务器要求暂停")); },
             [&] { pauseShown = true; });
    QString message;
    const auto note = NoteAndOk(message);
    EXPECT_EQ(Generate({AcceptConfirmation, SaveAs(Dir / "paused.Dat"), note}).size(), 3);
    EXPECT_EQ(message, Finished);
    EXPECT_TRUE(pauseShown);
    EXPECT_EQ(PlanAttempts("p", 5), 50);
    ExpectValidFile(Dir / "paused.Dat", 25);
}
