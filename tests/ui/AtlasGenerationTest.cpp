// The main window's generation run against the local tile server, its map
// parameter files, and one trip from dragging the map to viewing the file.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "AtlasCheckData.h"
#include "AtlasClass.h"
#include "AtlasDownLoad.h"
#include "AtlasOffLineMain.h"
#include "Geometry.h"
#include "MapDataFile.h"
#include "MapParamFile.h"
#include "Settings.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileCache.h"
#include "TileImage.h"
#include "UiTestSupport.h"

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
        dialog->selectFile(QString::fromStdString(file.string()));
        QMetaObject::invokeMethod(dialog, "accept");
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

// Mean colour of a block, so that JPEG ringing around the drawn text evens out.
QColor BlockMean(const QImage& image, int left, int top, int size = 16) {
    long r = 0, g = 0, b = 0;
    for (int y = top; y < top + size; ++y)
        for (int x = left; x < left + size; ++x) {
            const QColor c = image.pixelColor(x, y);
            r += c.red(), g += c.green(), b += c.blue();
        }
    const long n = long(size) * size;
    return QColor(int(r / n), int(g / n), int(b / n));
}

bool Near(QColor a, QColor b, int tolerance = 20) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
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

    // The four type check boxes, in type order.
    std::array<QCheckBox*, MapTypeCount> Checks() const {
        return {Window->CheckBox1, Window->CheckBox2, Window->CheckBox3, Window->CheckBox4};
    }
    void Include(const std::string& types) const {
        for (int t = 0; t < MapTypeCount; ++t) Checks()[t]->setChecked(types.find(MapTypes[t].Code) != std::string::npos);
    }
    std::array<bool, MapTypeCount> Included() const {
        std::array<bool, MapTypeCount> on{};
        for (int t = 0; t < MapTypeCount; ++t) on[t] = Checks()[t]->isChecked();
        return on;
    }

    void ExpectCleanedUp() const {
        EXPECT_FALSE(Window->IsRunActive());
        EXPECT_FALSE(Window->Label8->isVisible());
        EXPECT_FALSE(Window->Gauge1->isVisible());
        EXPECT_FALSE(Window->SpeedButton3->isVisible());
        EXPECT_EQ(Window->Gauge1->value(), 50);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(Window->RunPlan().TotalCount(), 0);
    }

    // Requests the server saw for one type's tiles.
    long RequestsOfType(char type) const {
        long n = 0;
        for (const std::string& r : Server->RequestOrder()) n += r[0] == type ? 1 : 0;
        return n;
    }

    // The last run's tiles of one zoom, from its snapshot.
    std::vector<std::tuple<int, int>> PlanTiles(int zoom) const {
        std::vector<std::tuple<int, int>> tiles;
        const TTileRect& r = Window->RunSnapshot().TileRects[size_t(zoom)];
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y) tiles.emplace_back(x, y);
        return tiles;
    }

    long PlanAttempts(const std::string& type, int zoom) const {
        long n = 0;
        for (auto [x, y] : PlanTiles(zoom)) n += Server->Attempts(type, zoom, x, y);
        return n;
    }

    static void ExpectValidFile(const fs::path& file, std::size_t entries) {
        TMapDataReader reader;
        ASSERT_EQ(reader.Open(file.string()), "");
        EXPECT_EQ(reader.Entries().size(), entries);
        for (std::size_t i = 0; i < reader.Entries().size(); ++i) EXPECT_GT(reader.ImageSize(i), 0) << i;
    }

    TTempDir Dir;
    std::unique_ptr<TTestTileServer> Server;
    std::unique_ptr<TAtlasOffLineMainFM> Window;
};

}  // namespace

TEST_F(GenerationTest, RefusalsShowOnlyTheirMessage) {
    MakeWindow();
    const TMapDataHeader before = Window->RunSnapshot();
    const struct {
        int CurrentSteps;
        const char* Types;
        const char* Message;
    } rows[] = {{3, "m", "最大放大倍数小于当前放大倍数。"}, {0, "", "没有选择包含的地图类型。"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Message);
        CloseUp(Window->cxComboBox1, row.CurrentSteps);
        Include(row.Types);
        EXPECT_EQ(Generate({ClickOk}), QStringList{QString::fromUtf8(row.Message)});
        EXPECT_EQ(Window->RunSnapshot().TileRects, before.TileRects);
        EXPECT_EQ(Window->RunSnapshot().EntryCount, before.EntryCount);
        EXPECT_EQ(Window->RunSnapshot().MinZoom, before.MinZoom);
        CloseUp(Window->cxComboBox1, -row.CurrentSteps);
    }
    ExpectCleanedUp();
}

TEST_F(GenerationTest, CancelledConfirmationStartsNothing) {
    MakeWindow();
    Include("s");  // a type the view does not show, so its requests are the run's
    const auto cancel = [](QWidget* modal) { QTest::mouseClick(dynamic_cast<TAtlasDownLoadFM*>(modal)->BitBtn2, Qt::LeftButton); };
    EXPECT_EQ(Generate({cancel}), QStringList{Confirm});
    ExpectCleanedUp();
    for (const TTileRect& r : Window->RunSnapshot().TileRects) EXPECT_EQ(r, TTileRect{});
    QCoreApplication::processEvents();
    EXPECT_EQ(RequestsOfType('s'), 0);
}

TEST_F(GenerationTest, FullRunWritesTheFileAndAnAllCachedRepeatFetchesNothing) {
    MakeWindow();
    const double lonBefore = Window->CenterLon();
    QWidget* mosaic = Window->MapView()->MosaicWidget();
    QTest::mouseClick(mosaic, Qt::LeftButton, {}, mosaic->mapFrom(Window->MapView(), QPoint(100, 100)));
    ASSERT_NE(Window->CenterLon(), lonBefore);
    CloseUp(Window->cxComboBox1, 0);
    CloseUp(Window->cxComboBox2, 0);
    ASSERT_EQ(Window->CurrentZoom(), Window->MaximumZoom());
    Include("m");

    const fs::path first = Dir / "first.Dat";
    QStringList fields;
    const auto confirm = [&](QWidget* modal) {
        auto* d = dynamic_cast<TAtlasDownLoadFM*>(modal);
        fields = {d->Edit1->text(), d->Edit2->text(), d->Edit3->text(), d->Edit4->text()};
        AcceptConfirmation(modal);
    };
    EXPECT_EQ(Generate({confirm, SaveAs(first), ClickOk}), (QStringList{Confirm, "file", Finished}));
    EXPECT_EQ(fields, (QStringList{"1", "1280 x 1280", "1280 x 1280", "25"}));
    ExpectValidFile(first, 25);
    ExpectCleanedUp();
    const int zoom = Window->CurrentZoom();
    ASSERT_EQ(PlanTiles(zoom).size(), 25u);
    for (auto [x, y] : PlanTiles(zoom)) EXPECT_TRUE(fs::exists(CacheDir() + TileFileName("m", zoom, x, y)));

    // The same plan again: every tile is in the cache.
    const long attempts = PlanAttempts("m", zoom);
    const fs::path second = Dir / "second.Dat";
    int gaugeAtSave = -1;
    const auto save = [&](QWidget* modal) {
        gaugeAtSave = Window->Gauge1->value();
        SaveAs(second)(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, save, ClickOk}), (QStringList{Confirm, "file", Finished}));
    EXPECT_EQ(gaugeAtSave, 100);
    EXPECT_EQ(PlanAttempts("m", zoom), attempts);
    ExpectValidFile(second, 25);
    ExpectCleanedUp();

    // A declined save dialog writes nothing and says nothing.
    EXPECT_EQ(Generate({AcceptConfirmation}), (QStringList{Confirm, "file"}));  // the save dialog is rejected
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 3);  // cache and two files
    ExpectCleanedUp();
}

TEST_F(GenerationTest, CancelMidRunWritesNothingAndStrayNoticesAreIgnored) {
    MakeServer({"--latency-ms", "300"});
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("m");
    // One plan tile is already cached, so it is done as soon as it is requested.
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907);
    const int cx = int(c.X / TileSize), cy = int(c.Y / TileSize);
    fs::create_directories(CacheDir());
    std::ofstream(CacheDir() + TileFileName("m", 5, cx, cy), std::ios::binary) << Server->TileBody("m", 5, cx, cy);

    std::int64_t remainingBefore = -1, afterOutside = -2, afterDone = -3;
    bool secondDialog = true;
    WhenTrue([&] { return Window->Gauge1->isVisible(); },
             [&] {
                 remainingBefore = Window->RemainingTiles();
                 TTileNoticeEvent outside(WM_GENTILESAVED, CacheDir() + TileFileName("m", 5, cx + 9, cy));
                 QCoreApplication::sendEvent(Window.get(), &outside);
                 afterOutside = Window->RemainingTiles();
                 Window->WMGenTileSaved(CacheDir() + TileFileName("m", 5, cx, cy));
                 afterDone = Window->RemainingTiles();
                 QTest::mouseClick(Window->BitBtn1, Qt::LeftButton);  // ignored while the run is on
                 secondDialog = QApplication::activeModalWidget() != nullptr;
                 EXPECT_TRUE(Window->IsRunActive());
                 QTest::mouseClick(Window->SpeedButton3, Qt::LeftButton);
             });
    EXPECT_EQ(Generate({AcceptConfirmation, ClickOk}), (QStringList{Confirm, Cancelled}));
    EXPECT_GT(remainingBefore, 0);
    EXPECT_LT(remainingBefore, 25);
    EXPECT_EQ(afterOutside, remainingBefore);
    EXPECT_EQ(afterDone, remainingBefore);
    EXPECT_FALSE(secondDialog);
    ExpectCleanedUp();
    for (const auto& entry : fs::directory_iterator(Dir.Path())) EXPECT_NE(entry.path().extension(), ".Dat");
}

TEST_F(GenerationTest, FailedTileStopsTheRunAndTheRetryFetchesOnlyIt) {
    MakeWindow();
    Window->OnClickGPS(nullptr, 116.391, 39.907);
    Include("p");  // not the shown type: every request of it is the run's
    const TGlobalPixel c = LonLatToPixel(5, 116.391, 39.907);
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
    EXPECT_EQ(RequestsOfType('p'), 1);
    ExpectValidFile(file, 25);
    ExpectCleanedUp();
}

TEST_F(GenerationTest, ParameterFileRoundTripAndRefusals) {
    MakeWindow();
    QTest::mouseClick(Window->RadioButton2, Qt::LeftButton);
    const double deltaLon = DeltaLon, deltaLat = DeltaLat;
    // Before any file was opened the reserved bytes are zero.
    const fs::path fresh = Dir / "fresh.Map";
    Window->SaveParamFile(QString::fromStdString(fresh.string()));
    EXPECT_EQ(FileBytes(fresh).substr(40, 19), std::string(19, '\0'));

    TMapParamData stored;
    stored.CurrentZoom = 7;
    stored.MaxZoom = 9;
    stored.CenterLon = 100.5;
    stored.CenterLat = 30.25;
    for (std::size_t i = 0; i < stored.Reserved.size(); ++i) stored.Reserved[i] = std::uint8_t(0xA0 + i);
    stored.Included = {true, false, true, false};
    auto raw = EncodeMapParam(stored);
    raw[61] = 2;  // any non-zero flag means checked
    const fs::path original = Dir / "original.Map";
    std::ofstream(original, std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), std::streamsize(raw.size()));
    const std::string originalBytes = FileBytes(original);

    Window->OpenParamFile(QString::fromStdString(original.string()));
    EXPECT_EQ(Window->cxComboBox1->currentText(), "7");
    EXPECT_EQ(Window->cxComboBox2->currentText(), "9");
    EXPECT_EQ(Window->CurrentZoom(), 7);
    EXPECT_EQ(Window->MaximumZoom(), 9);
    EXPECT_EQ(Window->cxMaskEdit1->text(), "100.5");
    EXPECT_EQ(Window->cxMaskEdit2->text(), "30.25");
    EXPECT_EQ(Included(), stored.Included);
    EXPECT_EQ(Window->ReservedBytes(), stored.Reserved);
    EXPECT_EQ(Window->MapView()->MapZoom(), 7);
    const TLonLat shown = Window->MapView()->State().ClickPosition();  // under the panel centre
    EXPECT_NEAR(shown.Lon, 100.5, 0.05);
    EXPECT_NEAR(shown.Lat, 30.25, 0.05);
    EXPECT_TRUE(Window->RadioButton2->isChecked());
    EXPECT_EQ(DeltaLon, deltaLon);
    EXPECT_EQ(DeltaLat, deltaLat);

    // Saved again through the button and its dialog: the same bytes except
    // the view's rectangle and the flag written as 1.
    const fs::path copy = Dir / "copy.Map";
    TModalAnswers save;
    save.Then(SaveAs(copy));
    QTest::mouseClick(Window->SpeedButton4, Qt::LeftButton);
    EXPECT_EQ(save.Seen, QStringList{"file"});
    const std::string copyBytes = FileBytes(copy);
    ASSERT_EQ(copyBytes.size(), MapParamFileSize);
    EXPECT_EQ(copyBytes.substr(0, 8), originalBytes.substr(0, 8));
    EXPECT_EQ(copyBytes.substr(24, 37), originalBytes.substr(24, 37));
    EXPECT_EQ(copyBytes[61], 1);
    EXPECT_EQ(copyBytes.substr(62), originalBytes.substr(62));

    // Declining to overwrite leaves the old file as it was.
    TModalAnswers decline;
    decline.Then([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("提示"));
        box->button(QMessageBox::No)->click();
    });
    Window->SaveParamFile(QString::fromStdString(original.string()));
    EXPECT_EQ(decline.Seen, QStringList{QStringLiteral("文件已经存在是否要继续?")});
    EXPECT_EQ(FileBytes(original), originalBytes);

    // Refused files change nothing.
    const fs::path shortFile = Dir / "short.Map";
    std::ofstream(shortFile, std::ios::binary) << originalBytes.substr(0, 40);
    const struct {
        fs::path File;
        const char* Message;
    } refused[] = {{shortFile, MapParamDamagedText}, {Dir / "missing.Map", MapParamMissingText}};
    Window->CheckBox4->setChecked(true);
    for (const auto& row : refused) {
        SCOPED_TRACE(row.Message);
        TModalAnswers answers;
        answers.Then(ClickOk);
        Window->OpenParamFile(QString::fromStdString(row.File.string()));
        EXPECT_EQ(answers.Seen, QStringList{QString::fromUtf8(row.Message)});
        EXPECT_EQ(Window->CurrentZoom(), 7);
        EXPECT_EQ(Window->MaximumZoom(), 9);
        EXPECT_EQ(Window->CenterLon(), 100.5);
        EXPECT_TRUE(Window->CheckBox4->isChecked());
        EXPECT_EQ(Window->ReservedBytes(), stored.Reserved);
    }
}

TEST_F(GenerationTest, WholeRoadFromDraggingTheMapToViewingTheFile) {
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
    ASSERT_EQ(Generate({AcceptConfirmation, SaveAs(file), ClickOk}), (QStringList{Confirm, "file", Finished}));
    ExpectValidFile(file, 2 * (25 + 169));

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
    ASSERT_EQ(viewer.ViewType(), 's');
    const QPoint press(250, 250);
    QTest::mousePress(viewer.Map, Qt::LeftButton, {}, press - viewer.Map->pos());
    QTest::mouseMove(viewer.Map, QPoint(200, 190) - viewer.Map->pos());
    QTest::mouseRelease(viewer.Map, Qt::LeftButton, {}, QPoint(200, 190) - viewer.Map->pos());

    // Every tile shown inside the file's extent looks like the tile the server sent.
    const TViewerState& s = viewer.State();
    const TTileRect extent = Window->RunSnapshot().TileRects[11];
    int compared = 0;
    for (std::int64_t x = s.ViewLeft; x <= s.ViewRight; ++x)
        for (std::int64_t y = s.ViewTop; y <= s.ViewBottom; ++y) {
            if (x < extent.Left || x > extent.Right || y < extent.Top || y > extent.Bottom) continue;
            const std::string cached = CacheDir() + TileFileName("s", 11, int(x), int(y));
            std::ifstream in(cached, std::ios::binary);
            std::string typeName;
            ASSERT_TRUE(DetectImageType(in, typeName)) << cached;
            const auto tile = DecodeTileFile(cached, typeName);
            ASSERT_TRUE(tile) << cached;
            const QImage source(tile->Rgb.data(), tile->Width, tile->Height, tile->Width * 3, QImage::Format_RGB888);
            const int ox = int((x - s.ViewLeft) * TileSize), oy = int((y - s.ViewTop) * TileSize);
            for (QPoint at : {QPoint(8, 8), QPoint(120, 60), QPoint(200, 220)})
                EXPECT_TRUE(Near(BlockMean(viewer.Map->Picture(), ox + at.x(), oy + at.y()), BlockMean(source, at.x(), at.y())))
                    << x << "," << y;
            ++compared;
        }
    EXPECT_GT(compared, 0);
    viewer.done(QDialog::Rejected);
}

TEST_F(GenerationTest, HugePlansAreRefusedAndClosingTheWindowStopsARun) {
    MakeServer({"--latency-ms", "300"});
    MakeWindow();
    // Zoom 5 to 17 with every type: the confirmation shows the figures, then the plan is refused.
    CloseUp(Window->cxComboBox2, 12);
    Include("mpsy");
    QString refusal;
    const auto note = [&](QWidget* modal) {
        refusal = qobject_cast<QMessageBox*>(modal)->text();
        ClickOk(modal);
    };
    EXPECT_EQ(Generate({AcceptConfirmation, note}).size(), 2);
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("地图数据太大"))) << refusal.toStdString();
    ExpectCleanedUp();

    // Closing during the downloads stops them first; the window goes once the run has cleaned up.
    CloseUp(Window->cxComboBox2, -11);
    Include("s");
    WhenTrue([&] { return Window->Gauge1->isVisible(); }, [&] { Window->close(); });
    EXPECT_EQ(Generate({AcceptConfirmation}), QStringList{Confirm});
    ExpectCleanedUp();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Window->isVisible(); }, 5000));
    const TGenWorkerPool* pool = Window->MapView()->GenWorkersForTest();
    EXPECT_TRUE(pool == nullptr || pool->WorkerCount() == 0);
}
