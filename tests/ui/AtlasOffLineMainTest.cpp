#include <QAbstractItemView>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <fstream>

#include "AtlasCheckData.h"
#include "AtlasClass.h"
#include "AtlasHelp.h"
#include "AtlasOffLineMain.h"
#include "AtlasSetup.h"
#include "Geometry.h"
#include "IniFile.h"
#include "NumberFormat.h"
#include "Settings.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "UiTestSupport.h"
#include "WaitUntilQt.h"

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void WriteSettings(const std::string& text) const { std::ofstream(Dir / "AtlasPocket.Ini") << text; }

    // A main window whose view fetches tiles from the local server only.
    std::unique_ptr<TAtlasOffLineMainFM> MakeWindow(bool show = true) const {
        auto window = std::make_unique<TAtlasOffLineMainFM>(
            TDataLocations{Dir / "AtlasPocket.Ini", Dir.DirString() + "FileMap/"});
        window->SetServerOverride(Server.Config());
        if (show) {
            window->show();
            QCoreApplication::processEvents();  // delivers the posted panel layout
        }
        return window;
    }

    // A wheel turn delivered to target, as the window system would.
    static void Wheel(QWidget* target, int delta) {
        const QPointF local(target->width() / 2.0, target->height() / 2.0);
        QWheelEvent e(local, target->mapToGlobal(local), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(target, &e);
    }

    // Opens a zoom list, moves the selection by steps and closes it with key.
    static void CloseUp(QComboBox* combo, int steps, Qt::Key key = Qt::Key_Return) {
        combo->showPopup();
        for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo->view(), steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        QTest::keyClick(combo->view(), key);
        QCoreApplication::processEvents();
    }

    TTempDir Dir;
    TTestTileServer Server;
};

bool SameDelta(TDeltaPair a, TDeltaPair b) { return a.Lon == b.Lon && a.Lat == b.Lat; }

}  // namespace

TEST_F(MainWindowTest, FirstShowingWithoutSettingsFileShowsTheDefaultsAndReportsFromTheMap) {
    auto w = MakeWindow();
    EXPECT_EQ(w->cxMaskEdit1->text(), "123.4259");
    EXPECT_EQ(w->cxMaskEdit2->text(), "41.8123");
    EXPECT_EQ(w->CenterLon(), 123.4259);
    EXPECT_EQ(w->CenterLat(), 41.8123);
    EXPECT_EQ(w->cxComboBox1->currentText(), "5");
    EXPECT_EQ(w->cxComboBox2->currentText(), "5");
    EXPECT_EQ(w->CurrentZoom(), 5);
    EXPECT_EQ(w->MaximumZoom(), 5);
    EXPECT_TRUE(w->RadioButton1->isChecked());
    EXPECT_TRUE(SameDelta(w->ActivePair(), {0.0059448, 0.0026895}));
    ASSERT_NE(w->MapView(), nullptr);
    EXPECT_TRUE(SameDelta(w->MapView()->DeltaPair(), {0.0059448, 0.0026895}));
    EXPECT_EQ(w->MapView()->MapType(), TMapType::Road);
    EXPECT_EQ(w->MapView()->MapZoom(), 5);
    // The view took the map panel's final size when it was created.
    EXPECT_EQ(w->MapView()->State().ViewSize.Width, w->MapPanel->width());
    EXPECT_EQ(w->MapView()->State().ViewSize.Height, w->MapPanel->height());
    EXPECT_FALSE(std::filesystem::exists(Dir / "AtlasPocket.Ini"));  // reading never creates it

    TAtlasClass* view = w->MapView();
    QWidget* mosaic = view->MosaicWidget();
    const QPoint at = mosaic->mapFrom(view, QPoint(10, 10));
    // A plain move reports the position under the pointer and the image size
    // (after a move from elsewhere: one to where the pointer already is reports nothing).
    QTest::mouseMove(mosaic, at + QPoint(7, 7));
    QTest::mouseMove(mosaic, at);
    EXPECT_EQ(w->cxMaskEdit3->text(), QStringLiteral("%1 x %2").arg(view->ImgWidth()).arg(view->ImgHeight()));
    EXPECT_LT(w->cxMaskEdit4->text().toDouble(), 123.4259);  // left of the centre lies west
    EXPECT_GT(w->cxMaskEdit5->text().toDouble(), 41.8123);   // above it lies north

    // A click takes the point under the centre cross, not the clicked point.
    QTest::mouseClick(mosaic, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_NEAR(w->CenterLon(), 123.4259, 360.0 / (256 << 5));
    EXPECT_NEAR(w->CenterLat(), 41.8123, 360.0 / (256 << 5));
    EXPECT_EQ(w->cxMaskEdit1->text().toStdString(), FormatReal(w->CenterLon()));
    EXPECT_EQ(w->cxMaskEdit2->text().toStdString(), FormatReal(w->CenterLat()));
}

TEST_F(MainWindowTest, FirstShowingReadsTheSettingsFileOnce) {
    WriteSettings("[ATLAS_CENTER]\nLON_VALUE=116.391\nLAT_VALUE=39.907\n[ATLAS_ZOOM]\nFIRST_ZOOM=12\n");
    auto w = MakeWindow();
    EXPECT_EQ(w->cxMaskEdit1->text(), "116.391");
    EXPECT_EQ(w->cxMaskEdit2->text(), "39.907");
    EXPECT_EQ(w->cxComboBox2->currentText(), "12");
    EXPECT_EQ(w->MapView()->MapZoom(), 12);

    // Later showings change nothing, even after the file changed.
    TAtlasClass* view = w->MapView();
    w->OnClickGPS(nullptr, 100.5, 30.25);
    WriteSettings("[ATLAS_ZOOM]\nFIRST_ZOOM=7\n");
    w->hide();
    w->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w->MapView(), view);
    EXPECT_EQ(w->CurrentZoom(), 12);
    EXPECT_EQ(w->cxMaskEdit1->text(), "100.5");
}

TEST_F(MainWindowTest, ReportsAndClicksBeforeTheFirstShowingChangeNothing) {
    auto w = MakeWindow(false);
    w->OnShowGPS(nullptr, 120.0, 40.0, 10);
    w->OnClickGPS(nullptr, 120.0, 40.0);
    QTest::mouseClick(w->RadioButton3, Qt::LeftButton);
    QTest::mouseClick(w->SpeedButton1, Qt::LeftButton);
    Wheel(w.get(), 120);
    EXPECT_FALSE(w->Shown());
    EXPECT_EQ(w->MapView(), nullptr);
    for (QLineEdit* e : {w->cxMaskEdit1, w->cxMaskEdit2, w->cxMaskEdit3, w->cxMaskEdit4, w->cxMaskEdit5})
        EXPECT_EQ(e->text(), "") << e->objectName().toStdString();
    EXPECT_EQ(w->CenterLon(), 0.0);
    EXPECT_EQ(w->cxComboBox1->currentText(), "5");
    EXPECT_TRUE(SameDelta(w->ActivePair(), {}));
}

TEST_F(MainWindowTest, ViewedTypeSwitchesViewAndCalibrationPairTogether) {
    // Four distinct pairs, so that a wrong index cannot pass.
    WriteSettings("[ATLAS_DELTA]\nLON_M=0.1\nLAT_M=0.2\nLON_P=0.3\nLAT_P=0.4\nLON_S=-0.5\nLAT_S=0.6\nLON_Y=0.7\nLAT_Y=-0.8\n");
    auto w = MakeWindow();
    const struct { QRadioButton* Button; const char* Type; TDeltaPair Pair; } rows[] = {
        {w->RadioButton3, "s", {-0.5, 0.6}}, {w->RadioButton2, "p", {0.3, 0.4}},
        {w->RadioButton4, "y", {0.7, -0.8}}, {w->RadioButton1, "m", {0.1, 0.2}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Type);
        QTest::mouseClick(row.Button, Qt::LeftButton);
        EXPECT_EQ(w->MapView()->MapType(), *ParseMapType(row.Type));
        EXPECT_TRUE(SameDelta(w->ActivePair(), row.Pair));
        EXPECT_TRUE(SameDelta(w->MapView()->DeltaPair(), row.Pair));
    }
}

TEST_F(MainWindowTest, WheelZoomsTheViewButNotTheWindowsCurrentZoom) {
    WriteSettings("[ATLAS_ZOOM]\nFIRST_ZOOM=8\n");
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    const struct { const char* Where; QWidget* Target; int Delta; int ZoomAfter; } steps[] = {
        {"window", w.get(), 120, 9},
        {"map", view, 120, 10},
        {"zoom list", w->cxComboBox1, -120, 9},  // the list does not scroll itself
        {"window, half a notch", w.get(), 60, 9},  // one level per full notch of 120, however it comes
        {"window, one and a half notches", w.get(), 180, 11}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.Where);
        Wheel(s.Target, s.Delta);
        EXPECT_EQ(view->MapZoom(), s.ZoomAfter);
        EXPECT_EQ(w->cxComboBox1->currentText(), QString::number(s.ZoomAfter));
        EXPECT_EQ(w->CurrentZoom(), 8);
        EXPECT_EQ(w->MaximumZoom(), 8);
    }
}

TEST_F(MainWindowTest, ZoomListsSetTheWindowsZoomsAndTheButtonZoomsTheView) {
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    for (QComboBox* combo : {static_cast<QComboBox*>(w->cxComboBox1), static_cast<QComboBox*>(w->cxComboBox2)}) {
        ASSERT_EQ(combo->count(), 13);
        for (int i = 0; i < combo->count(); ++i) EXPECT_EQ(combo->itemText(i), QString::number(5 + i));
    }
    CloseUp(w->cxComboBox2, 6);
    EXPECT_EQ(w->MaximumZoom(), 11);
    CloseUp(w->cxComboBox1, 3);
    EXPECT_EQ(w->CurrentZoom(), 8);
    EXPECT_EQ(view->MapZoom(), 5);  // the view keeps its zoom until the button
    QTest::mouseClick(w->SpeedButton1, Qt::LeftButton);
    EXPECT_EQ(view->MapZoom(), 8);
    EXPECT_EQ(w->MaximumZoom(), 11);

    // Closing without a new choice takes what the list shows: here the view's zoom after a wheel turn.
    Wheel(w.get(), -120);
    CloseUp(w->cxComboBox1, 0, Qt::Key_Escape);
    EXPECT_EQ(w->CurrentZoom(), 7);
}

TEST_F(MainWindowTest, BottomButtonsSitOnePixelAboveThePanelBottom) {
    auto w = MakeWindow();
    const int x2 = w->BitBtn2->x();
    for (QSize size : {QSize(900, 640), QSize(1100, 900)}) {
        SCOPED_TRACE(size.height());
        w->setFixedSize(size);
        QCoreApplication::processEvents();
        ASSERT_EQ(w->Panel1->height(), w->centralWidget()->height());
        for (QPushButton* b : {w->BitBtn2, w->BitBtn3})
            EXPECT_EQ(b->y() + b->height(), w->Panel1->height() - 1) << b->objectName().toStdString();
        EXPECT_EQ(w->BitBtn2->x(), x2);
        EXPECT_EQ(w->MapView()->size(), w->MapPanel->size());
    }
}

// Without a window manager nothing resizes the window after its first
// showing. Grown or shrunk in steps, and after a type switch (which centres
// the map afresh from the square of its first size), the mosaic reaches every
// edge of the map view.
TEST_F(MainWindowTest, MapFillsItsViewAfterEveryResize) {
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    auto covered = [&] { return view->MosaicWidget()->geometry().contains(view->rect()); };
    EXPECT_TRUE(covered());
    std::vector<QSize> steps;
    for (int i = 0; i <= 6; ++i) steps.emplace_back(868 + 83 * i, 600 + 28 * i);  // up to 1366x768
    steps.insert(steps.end(), {QSize(1600, 900), QSize(1213, 655), QSize(700, 520), QSize(1366, 768)});
    for (const QSize size : steps) {
        SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height());
        w->setFixedSize(size);
        const QSize mapSize(size.width() - w->Panel1->width(), size.height());
        ASSERT_TRUE(WaitUntil([&] { return view->size() == mapSize; }, std::chrono::seconds(10), ProcessEventsBriefly)) << view->width();
        EXPECT_TRUE(covered());
        QTest::mouseClick(w->RadioButton2, Qt::LeftButton);
        ASSERT_EQ(view->MapType(), TMapType::Terrain);
        EXPECT_TRUE(covered());
        QTest::mouseClick(w->RadioButton1, Qt::LeftButton);
    }
}

TEST_F(MainWindowTest, FileDialogParameters) {
    // Only the map data file keeps the dialog's own question before replacing:
    // the parameter file's save asks the program's question instead.
    const struct { const TFileDialogParams& Params; const char* Filter; const char* Suffix; QFileDialog::AcceptMode Mode; bool Confirms; } rows[] = {
        {TAtlasOffLineMainFM::SaveDialog1, "地图数据(*.Dat)", "Dat", QFileDialog::AcceptSave, true},
        {TAtlasOffLineMainFM::SaveDialog2, "地图参数(*.Map)", "Map", QFileDialog::AcceptSave, false},
        {TAtlasOffLineMainFM::OpenDialog2, "地图参数(*.Map)", "Map", QFileDialog::AcceptOpen, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Filter);
        const auto dialog = MakeFileDialog(row.Params, nullptr);
        EXPECT_EQ(dialog->nameFilters(), QStringList{QString::fromUtf8(row.Filter)});
        EXPECT_EQ(dialog->defaultSuffix(), QString::fromUtf8(row.Suffix));
        EXPECT_EQ(dialog->acceptMode(), row.Mode);
        if (row.Mode == QFileDialog::AcceptSave) {
            EXPECT_EQ(dialog->testOption(QFileDialog::DontConfirmOverwrite), !row.Confirms);
        }
    }
}

TEST_F(MainWindowTest, SavingOverAParameterFileAsksOnce) {
    auto w = MakeWindow();
    const std::string path = Dir.DirString() + "old.Map";
    std::ofstream(path) << "old";
    TModalAnswers answers;
    answers
        .Then([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_TRUE(dialog);
            AcceptFileName(dialog, QString::fromStdString(path));
        })
        .Then([](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click(); });
    QTest::mouseClick(w->SpeedButton4, Qt::LeftButton);
    EXPECT_EQ(answers.Seen, (QStringList{"file", QStringLiteral("文件已经存在是否要继续?")}));
    EXPECT_GT(std::filesystem::file_size(path), 3u);
}

// A comment after ';' on the HOST line is part of the value: the window says
// so once it is on screen, and its view requests nothing from such a host.
TEST_F(MainWindowTest, UnusableTileSourceIsReportedAtStartAndRequestsNothing) {
    WriteSettings("[ATLAS_SERVER]\nHOST=127.0.0.1 ; local tile server\nPORT=" + std::to_string(Server.Port()) + "\n");
    TModalAnswers answers;
    answers.Then(ClickOk);
    TAtlasOffLineMainFM w(TDataLocations{Dir / "AtlasPocket.Ini", Dir.DirString() + "FileMap/"});
    w.show();
    EXPECT_TRUE(WaitUntil([&] { return !answers.Seen.isEmpty(); }, WaitLimit, ProcessEventsBriefly));
    ASSERT_EQ(answers.Seen.size(), 1);
    // In Chinese, naming the entry and its value as the file has them.
    EXPECT_EQ(answers.Seen[0], QString::fromUtf8("设置文件中的地图来源有误，相关地图类型不会下载：\n\n"
                                                 "[ATLAS_SERVER] HOST：含有空格（注释必须单独占一行）："
                                                 "\"127.0.0.1 ; local tile server\""));
    EXPECT_TRUE(w.isVisible());
    QTest::qWait(200);
    EXPECT_EQ(Server.TotalRequests(), 0);
}

TEST_F(MainWindowTest, SideButtonsShowTheirWindows) {
    WriteSettings("[ATLAS_CENTER]\nLON_VALUE=116.391\n");
    auto w = MakeWindow();
    TAtlasHelpFM help(w.get());
    TAtlasSetupFM setup(w->Settings(), w.get());
    TAtlasCheckDataFM viewer(w.get());
    w->SetWindows({&help, &setup, nullptr, &viewer});
    {
        TModalAnswers answers;
        answers.Then([&](QWidget*) { QTest::mouseClick(help.BitBtn1, Qt::LeftButton); });
        QTest::mouseClick(w->SpeedButton2, Qt::LeftButton);
        EXPECT_EQ(answers.Seen, QStringList{QStringLiteral("操作说明")});
        EXPECT_FALSE(help.isVisible());
    }
    {
        // The settings window shows the present settings; its zoom button
        // stores FIRST_ZOOM and leaves the view alone.
        QString shownLon;
        TModalAnswers answers;
        answers.Then([&](QWidget*) {
            shownLon = setup.cxMaskEdit1->text();
            setup.cxComboBox2->setCurrentText("12");
            QTest::mouseClick(setup.SpeedButton3, Qt::LeftButton);
            setup.reject();
        });
        QTest::mouseClick(w->BitBtn2, Qt::LeftButton);
        EXPECT_EQ(answers.Seen, QStringList{QStringLiteral("参数设置")});
        EXPECT_EQ(shownLon, "116.39100000");
        EXPECT_EQ(TIniFile(Dir / "AtlasPocket.Ini").ReadString("ATLAS_ZOOM", "FIRST_ZOOM"), "12");
        EXPECT_EQ(w->MapView()->MapZoom(), 5);
        // The settings window asks the main window which type is on display.
        QTest::mouseClick(w->RadioButton3, Qt::LeftButton);
        ASSERT_TRUE(setup.ShownMapType);
        EXPECT_EQ(setup.ShownMapType(), TMapType::Satellite);
    }
    {
        TModalAnswers answers;  // the file dialog is rejected: no viewer
        QTest::mouseClick(w->BitBtn3, Qt::LeftButton);
        EXPECT_EQ(answers.Seen, QStringList{"file"});
        EXPECT_TRUE(viewer.GetFilePath().isEmpty());
        EXPECT_FALSE(viewer.isVisible());
    }
}
