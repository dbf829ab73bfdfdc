#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
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
#include "NumberFormat.h"
#include "Settings.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "UiTestSupport.h"

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { Server = std::make_unique<TTestTileServer>(); }

    TDataLocations Locations() const { return {Dir / "AtlasPocket.Ini", Dir.DirString() + "FileMap/"}; }

    void WriteSettings(const std::string& text) const { std::ofstream(Dir / "AtlasPocket.Ini") << text; }

    // A main window whose view fetches tiles from the local server only.
    std::unique_ptr<TAtlasOffLineMainFM> MakeWindow(bool show = true) const {
        auto window = std::make_unique<TAtlasOffLineMainFM>(Locations());
        window->SetServerOverride(Server->Config());
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
    static void CloseUp(QComboBox* combo, int steps, Qt::Key key) {
        combo->showPopup();
        QAbstractItemView* list = combo->view();
        for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(list, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        QTest::keyClick(list, key);
        QCoreApplication::processEvents();
    }

    static QString Real(double v) { return QString::fromStdString(FormatReal(v)); }

    TTempDir Dir;
    std::unique_ptr<TTestTileServer> Server;
};

bool SameDelta(TDeltaPair a, TDeltaPair b) { return a.Lon == b.Lon && a.Lat == b.Lat; }

}  // namespace

TEST_F(MainWindowTest, FirstShowingWithoutSettingsFileShowsTheDefaults) {
    SetActiveDelta({1.0, 1.0});
    auto w = MakeWindow();
    EXPECT_TRUE(w->Shown());
    EXPECT_EQ(w->cxMaskEdit1->text(), "123.4259");
    EXPECT_EQ(w->cxMaskEdit2->text(), "41.8123");
    EXPECT_EQ(w->cxMaskEdit3->text(), "");
    EXPECT_EQ(w->CenterLon(), 123.4259);
    EXPECT_EQ(w->CenterLat(), 41.8123);
    EXPECT_EQ(w->cxComboBox1->currentText(), "5");
    EXPECT_EQ(w->cxComboBox2->currentText(), "5");
    EXPECT_EQ(w->CurrentZoom(), 5);
    EXPECT_EQ(w->MaximumZoom(), 5);
    EXPECT_TRUE(w->RadioButton1->isChecked());
    EXPECT_EQ(DeltaLon, 0.0059448);
    EXPECT_EQ(DeltaLat, 0.0026895);
    ASSERT_NE(w->MapView(), nullptr);
    EXPECT_EQ(w->MapView()->MapType(), "m");
    EXPECT_EQ(w->MapView()->MapZoom(), 5);
    // Reading the settings never creates the file.
    EXPECT_FALSE(std::filesystem::exists(Dir / "AtlasPocket.Ini"));
}

TEST_F(MainWindowTest, ViewIsCreatedAtTheFinalSizeOfTheMapPanel) {
    auto w = MakeWindow();
    ASSERT_NE(w->MapView(), nullptr);
    EXPECT_EQ(w->frameGeometry(), w->screen()->availableGeometry());  // fills the work area
    EXPECT_EQ(w->Panel1->width(), 220);
    EXPECT_EQ(w->Panel1->height(), w->centralWidget()->height());
    EXPECT_EQ(w->MapPanel->width(), w->centralWidget()->width() - 220);
    EXPECT_EQ(w->MapView()->size(), w->MapPanel->size());
    EXPECT_EQ(w->MapView()->parentWidget(), w->MapPanel);
    // The view took the panel's final size when it was created.
    EXPECT_EQ(w->MapView()->State().ViewSize.Width, w->MapPanel->width());
    EXPECT_EQ(w->MapView()->State().ViewSize.Height, w->MapPanel->height());
}

TEST_F(MainWindowTest, FirstShowingReadsTheSettingsFileOnce) {
    WriteSettings(
        "[ATLAS_CENTER]\nLON_VALUE=116.391\nLAT_VALUE=39.907\n"
        "[ATLAS_ZOOM]\nFIRST_ZOOM=12\n");
    auto w = MakeWindow();
    EXPECT_EQ(w->cxMaskEdit1->text(), "116.391");
    EXPECT_EQ(w->cxMaskEdit2->text(), "39.907");
    EXPECT_EQ(w->cxComboBox1->currentText(), "12");
    EXPECT_EQ(w->cxComboBox2->currentText(), "12");
    EXPECT_EQ(w->CurrentZoom(), 12);
    EXPECT_EQ(w->MaximumZoom(), 12);
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
    SetActiveDelta({1.0, 2.0});
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
    EXPECT_EQ(w->CenterLat(), 0.0);
    EXPECT_EQ(w->cxComboBox1->currentText(), "5");
    EXPECT_TRUE(SameDelta(ActiveDelta(), {1.0, 2.0}));
}

TEST_F(MainWindowTest, PositionReportsAndClicksOnTheMap) {
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    QWidget* mosaic = view->findChild<QWidget*>("Mosaic");
    ASSERT_NE(mosaic, nullptr);

    // A plain move reports the position under the pointer and the image size.
    QTest::mouseMove(mosaic, mosaic->mapFrom(view, QPoint(10, 10)));
    EXPECT_FALSE(w->cxMaskEdit4->text().isEmpty());
    EXPECT_FALSE(w->cxMaskEdit5->text().isEmpty());
    EXPECT_EQ(w->cxMaskEdit3->text(),
              QStringLiteral("%1 x %2").arg(view->ImgWidth()).arg(view->ImgHeight()));
    EXPECT_LT(w->cxMaskEdit4->text().toDouble(), 123.4259);  // left of the centre lies west

    // A click takes the point under the centre cross, not the clicked point.
    QTest::mouseClick(mosaic, Qt::LeftButton, Qt::NoModifier, mosaic->mapFrom(view, QPoint(10, 10)));
    const double pixelDegrees = 360.0 / (256 << 5);
    EXPECT_NEAR(w->CenterLon(), 123.4259, pixelDegrees);
    EXPECT_NEAR(w->CenterLat(), 41.8123, pixelDegrees);
    EXPECT_EQ(w->cxMaskEdit1->text(), Real(w->CenterLon()));
    EXPECT_EQ(w->cxMaskEdit2->text(), Real(w->CenterLat()));
}

TEST_F(MainWindowTest, ViewedTypeSwitchesViewAndCalibrationPairTogether) {
    // Four distinct pairs, so that a wrong index cannot pass.
    WriteSettings(
        "[ATLAS_DELTA]\nLON_M=0.1\nLAT_M=0.2\nLON_P=0.3\nLAT_P=0.4\n"
        "LON_S=-0.5\nLAT_S=0.6\nLON_Y=0.7\nLAT_Y=-0.8\n");
    auto w = MakeWindow();
    EXPECT_TRUE(SameDelta(ActiveDelta(), {0.1, 0.2}));
    const struct {
        QRadioButton* Button;
        const char* Type;
        TDeltaPair Pair;
    } rows[] = {{w->RadioButton3, "s", {-0.5, 0.6}},
                {w->RadioButton2, "p", {0.3, 0.4}},
                {w->RadioButton4, "y", {0.7, -0.8}},
                {w->RadioButton1, "m", {0.1, 0.2}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Type);
        QTest::mouseClick(row.Button, Qt::LeftButton);
        EXPECT_TRUE(row.Button->isChecked());
        EXPECT_EQ(w->MapView()->MapType(), row.Type);
        EXPECT_TRUE(SameDelta(ActiveDelta(), row.Pair));
    }
}

TEST_F(MainWindowTest, WheelZoomsTheViewButNotTheWindowsCurrentZoom) {
    WriteSettings("[ATLAS_ZOOM]\nFIRST_ZOOM=8\n");
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    const struct {
        const char* Where;
        QWidget* Target;
        int Delta;
        int ZoomAfter;
    } steps[] = {
        {"window", w.get(), 120, 9},
        {"map", view, 120, 10},
        {"zoom list", w->cxComboBox1, -120, 9},  // the list does not scroll itself
        {"maximum zoom list", w->cxComboBox2, -120, 8},
        {"window, big delta", w.get(), 960, 9},  // one step per notification
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.Where);
        Wheel(s.Target, s.Delta);
        EXPECT_EQ(view->MapZoom(), s.ZoomAfter);
        EXPECT_EQ(w->cxComboBox1->currentText(), QString::number(s.ZoomAfter));
        EXPECT_EQ(w->CurrentZoom(), 8);
        EXPECT_EQ(w->cxComboBox2->currentText(), "8");
        EXPECT_EQ(w->MaximumZoom(), 8);
    }
}

TEST_F(MainWindowTest, ClosingTheZoomListsSetsTheWindowsZooms) {
    auto w = MakeWindow();
    CloseUp(w->cxComboBox1, 3, Qt::Key_Return);
    EXPECT_EQ(w->CurrentZoom(), 8);
    EXPECT_EQ(w->MapView()->MapZoom(), 5);  // the view keeps its zoom
    CloseUp(w->cxComboBox2, 6, Qt::Key_Return);
    EXPECT_EQ(w->MaximumZoom(), 11);
    EXPECT_EQ(w->CurrentZoom(), 8);

    // Closing without a new choice takes what the list shows: here the view's zoom after a wheel turn.
    Wheel(w.get(), 120);
    EXPECT_EQ(w->cxComboBox1->currentText(), "6");
    CloseUp(w->cxComboBox1, 0, Qt::Key_Escape);
    EXPECT_EQ(w->CurrentZoom(), 6);
}

TEST_F(MainWindowTest, ZoomButtonZoomsTheViewToTheCurrentZoom) {
    auto w = MakeWindow();
    TAtlasClass* view = w->MapView();
    const struct {
        int ListSteps;
        int Expected;
    } rows[] = {{4, 9}, {-2, 7}, {0, 7}, {-2, 5}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Expected);
        CloseUp(w->cxComboBox1, row.ListSteps, Qt::Key_Return);
        ASSERT_EQ(w->CurrentZoom(), row.Expected);
        QTest::mouseClick(w->SpeedButton1, Qt::LeftButton);
        EXPECT_EQ(view->MapZoom(), row.Expected);
    }
}

TEST_F(MainWindowTest, BottomButtonsSitOnePixelAboveThePanelBottom) {
    auto w = MakeWindow();
    const int x2 = w->BitBtn2->x();
    const int x3 = w->BitBtn3->x();
    for (QSize size : {w->size(), QSize(900, 640), QSize(1100, 900)}) {
        SCOPED_TRACE(size.height());
        w->setFixedSize(size);
        QCoreApplication::processEvents();
        ASSERT_EQ(w->Panel1->height(), w->centralWidget()->height());
        for (QPushButton* b : {w->BitBtn2, w->BitBtn3})
            EXPECT_EQ(b->y() + b->height(), w->Panel1->height() - 1) << b->objectName().toStdString();
        EXPECT_EQ(w->BitBtn2->x(), x2);
        EXPECT_EQ(w->BitBtn3->x(), x3);
        EXPECT_EQ(w->MapView()->size(), w->MapPanel->size());
    }
}

TEST_F(MainWindowTest, ZoomListsHoldExactlyFiveToSeventeen) {
    auto w = MakeWindow(false);
    for (QComboBox* combo : {static_cast<QComboBox*>(w->cxComboBox1), static_cast<QComboBox*>(w->cxComboBox2)}) {
        SCOPED_TRACE(combo->objectName().toStdString());
        ASSERT_EQ(combo->count(), 13);
        for (int i = 0; i < combo->count(); ++i) EXPECT_EQ(combo->itemText(i), QString::number(5 + i));
        EXPECT_FALSE(combo->isEditable());
        EXPECT_EQ(combo->currentText(), "5");
        EXPECT_FALSE(combo->focusPolicy() & Qt::TabFocus);
    }
}

TEST_F(MainWindowTest, SidePanelControlsCarryTheirDesignedNamesAndCaptions) {
    auto w = MakeWindow(false);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("手机离线地图生成程序"));
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowCloseButtonHint);

    const struct {
        const char* Name;
        const char* Text;  // caption, or tool tip for icon buttons
        bool Visible;
    } rows[] = {
        {"Label1", "中心位置：", true},        {"Label2", "经度：", true},
        {"Label3", "纬度：", true},            {"Label4", "图象尺寸：", true},
        {"Label10", "当前位置：", true},       {"Label11", "经度：", true},
        {"Label12", "纬度：", true},           {"Label5", "当前放大倍数：", true},
        {"SpeedButton1", "设置放大倍数", true}, {"Label9", "查看地图类型：", true},
        {"RadioButton1", "道路交通图", true},  {"RadioButton2", "地形地貌图", true},
        {"RadioButton3", "卫星图象图", true},  {"RadioButton4", "卫星道路图", true},
        {"Label6", "最大放大倍数：", true},    {"Label7", "包含地图类型：", true},
        {"CheckBox1", "道路交通图", true},     {"CheckBox2", "地形地貌图", true},
        {"CheckBox3", "卫星图象图", true},     {"CheckBox4", "卫星道路图", true},
        {"BitBtn1", "生成手机地图", true},     {"SpeedButton2", "帮助", true},
        {"SpeedButton4", "保存地图参数", true}, {"SpeedButton5", "打开地图参数", true},
        {"Label8", "已经生成：", false},       {"SpeedButton3", "取消", false},
        {"BitBtn2", "设置", true},             {"BitBtn3", "查看", true},
    };
    w->show();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const auto found = w->findChildren<QWidget*>(row.Name);
        ASSERT_EQ(found.size(), 1);
        QWidget* c = found.front();
        EXPECT_EQ(c->parentWidget(), w->Panel1);
        EXPECT_EQ(c->isVisible(), row.Visible);
        if (auto* l = qobject_cast<QLabel*>(c)) {
            EXPECT_EQ(l->text(), QString::fromUtf8(row.Text));
        } else if (auto* t = qobject_cast<QToolButton*>(c)) {
            EXPECT_EQ(t->toolTip(), QString::fromUtf8(row.Text));
            EXPECT_EQ(t->accessibleName(), t->toolTip());
        } else if (auto* b = qobject_cast<QAbstractButton*>(c)) {
            EXPECT_EQ(b->text(), QString::fromUtf8(row.Text));
        }
        // Nothing sticks out of the side panel.
        EXPECT_TRUE(QRect(QPoint(), w->Panel1->size()).contains(c->geometry()));
    }
    for (QLineEdit* e : {w->cxMaskEdit1, w->cxMaskEdit2, w->cxMaskEdit3, w->cxMaskEdit4, w->cxMaskEdit5}) {
        EXPECT_TRUE(e->isReadOnly());
        EXPECT_FALSE(e->focusPolicy() & Qt::TabFocus);
        EXPECT_FALSE(e->accessibleName().isEmpty());
    }
    EXPECT_TRUE(w->RadioButton1->isChecked());
    for (QCheckBox* c : {w->CheckBox1, w->CheckBox2, w->CheckBox3, w->CheckBox4}) EXPECT_FALSE(c->isChecked());
    EXPECT_FALSE(w->Gauge1->isVisible());
    EXPECT_EQ(w->Gauge1->value(), 50);
    EXPECT_EQ(w->Gauge1->minimum(), 0);
    EXPECT_EQ(w->Gauge1->maximum(), 100);
    EXPECT_EQ(w->Panel2->height(), 15);
    EXPECT_EQ(w->Panel2->palette().color(QPalette::Window), QColor(192, 220, 192));
    EXPECT_EQ(w->Panel3->palette().color(QPalette::Window), QColor(192, 220, 192));
    EXPECT_EQ(w->BitBtn2->y(), w->BitBtn3->y());
    EXPECT_LT(w->BitBtn2->geometry().right(), w->BitBtn3->x());
}

TEST_F(MainWindowTest, FileDialogParameters) {
    const struct {
        const TFileDialogParams& Params;
        const char* Title;  // nullptr: the toolkit's default title
        const char* Filter;
        const char* Suffix;
        QFileDialog::AcceptMode Mode;
    } rows[] = {
        {TAtlasOffLineMainFM::SaveDialog1, "保存文件", "地图数据(*.Dat)", "Dat", QFileDialog::AcceptSave},
        {TAtlasOffLineMainFM::OpenDialog1, "打开文件", "地图数据(*.Dat)", "Dat", QFileDialog::AcceptOpen},
        {TAtlasOffLineMainFM::SaveDialog2, "保存文件", "地图参数(*.Map)", "Map", QFileDialog::AcceptSave},
        {TAtlasOffLineMainFM::OpenDialog2, nullptr, "地图参数(*.Map)", "Map", QFileDialog::AcceptOpen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Filter);
        const auto dialog = MakeFileDialog(row.Params, nullptr);
        if (row.Title)
            EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8(row.Title));
        else
            EXPECT_FALSE(dialog->windowTitle().isEmpty());
        EXPECT_EQ(dialog->nameFilters(), QStringList{QString::fromUtf8(row.Filter)});
        EXPECT_EQ(dialog->defaultSuffix(), QString::fromUtf8(row.Suffix));
        EXPECT_EQ(dialog->acceptMode(), row.Mode);
        EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    }
}

TEST_F(MainWindowTest, HelpButtonShowsTheHelpWindowModally) {
    auto w = MakeWindow();
    TAtlasHelpFM help(w.get());
    w->SetWindows({&help, nullptr, nullptr, nullptr});
    bool seen = false;
    OnNextModal([&](QWidget* modal) {
        seen = modal == &help;
        QTest::mouseClick(help.BitBtn1, Qt::LeftButton);
    });
    QTest::mouseClick(w->SpeedButton2, Qt::LeftButton);
    EXPECT_TRUE(seen);
    EXPECT_FALSE(help.isVisible());
}

TEST_F(MainWindowTest, SettingsButtonFillsAndShowsTheSettingsWindow) {
    WriteSettings("[ATLAS_CENTER]\nLON_VALUE=116.391\n");
    auto w = MakeWindow();
    TAtlasSetupFM setup(w.get());
    w->SetWindows({nullptr, &setup, nullptr, nullptr});
    QString shownLon;
    OnNextModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &setup);
        shownLon = setup.cxMaskEdit1->text();
        setup.reject();
    });
    QTest::mouseClick(w->BitBtn2, Qt::LeftButton);
    EXPECT_EQ(shownLon, "116.39100000");
    // The settings window asks the main window which type is on display.
    QTest::mouseClick(w->RadioButton3, Qt::LeftButton);
    ASSERT_TRUE(setup.ShownMapType);
    EXPECT_EQ(setup.ShownMapType(), "s");
}

TEST_F(MainWindowTest, ViewButtonCancelledDialogOpensNoViewer) {
    auto w = MakeWindow();
    TAtlasCheckDataFM viewer(w.get());
    w->SetWindows({nullptr, nullptr, nullptr, &viewer});
    QString title;
    OnNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        dialog->reject();
    });
    QTest::mouseClick(w->BitBtn3, Qt::LeftButton);
    EXPECT_EQ(title, QStringLiteral("打开文件"));
    EXPECT_TRUE(viewer.GetFilePath().isEmpty());
    EXPECT_FALSE(viewer.isVisible());
}
