// The settings window driven through its real controls: what it shows on
// opening, what each write button stores in memory and in the file, and the
// messages of the failure paths.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "AtlasAppType.h"
#include "AtlasSetup.h"
#include "Geometry.h"
#include "IniFile.h"
#include "NumberFormat.h"
#include "Settings.h"

namespace fs = std::filesystem;

namespace {

// Answers the next modal message box with OK and keeps its text. The timer
// polls from inside the box's own event loop, so the box is found once shown.
class TMessageCatcher {
public:
    TMessageCatcher() {
        Timer.setInterval(0);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            Text = box->text();
            Timer.stop();
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->accept();
        });
        Timer.start();
    }
    std::optional<QString> Text;

private:
    QTimer Timer;
};

class AtlasSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("atlas_setup_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        Ini = Dir / "AtlasPocket.Ini";
        LoadSettings(Ini);  // no file: every default
        SelectActiveDelta(0);
        Form.FillFields();
        Form.show();
    }
    void TearDown() override {
        fs::permissions(Dir, fs::perms::owner_all, fs::perm_options::add);
        if (fs::exists(Ini)) fs::permissions(Ini, fs::perms::owner_read | fs::perms::owner_write);
        fs::remove_all(Dir);
        Settings = TAtlasSettings();
        SetActiveDelta({});
    }

    std::optional<std::string> IniValue(const char* section, const std::string& key) const {
        return TIniFile(Ini).ReadString(section, key);
    }
    static void Click(QToolButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    static void Type(QLineEdit* edit, const QString& text) {
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    fs::path Dir;
    fs::path Ini;
    TAtlasSetupFM Form;
};

TEST_F(AtlasSetupTest, OpensWithTheDefaultsFixedToEightDecimals) {
    const std::pair<QLineEdit*, const char*> expected[] = {
        {Form.cxMaskEdit1, "123.42590000"}, {Form.cxMaskEdit2, "41.81230000"},
        {Form.cxMaskEdit3, "0.00594480"},   {Form.cxMaskEdit4, "0.00268950"},
        {Form.cxMaskEdit5, "0.00594480"},   {Form.cxMaskEdit6, "0.00268950"},
        {Form.cxMaskEdit7, "-0.00020283"},  {Form.cxMaskEdit8, "0.00029054"},
        {Form.cxMaskEdit9, "-0.00020283"},  {Form.cxMaskEdit10, "0.00029054"},
    };
    for (const auto& [edit, text] : expected) EXPECT_EQ(edit->text().toStdString(), text) << edit->objectName().toStdString();
    EXPECT_EQ(Form.cxComboBox2->currentText(), "5");
    EXPECT_EQ(Form.windowTitle(), "参数设置");
    EXPECT_EQ(Form.size(), QSize(602, 319));
    EXPECT_EQ(Form.cxComboBox2->count(), 13);
    EXPECT_EQ(Form.SpeedButton4->toolTip(), "写入设置参数");
    EXPECT_EQ(Form.cxMaskEdit5->focusPolicy(), Qt::ClickFocus);
}

// Pressing an offset button on the untouched fields subtracts each offset's
// own 8-decimal text, leaving only the rounding residue.
TEST_F(AtlasSetupTest, UneditedOffsetButtonLeavesTheRoundingResidue) {
    struct TRow {
        QToolButton* Button;
        int Type;
        const char* LonText;
        const char* LatText;
    };
    const TRow rows[] = {
        {Form.SpeedButton1, 0, "0.00594480", "0.00268950"},
        {Form.SpeedButton4, 1, "0.00594480", "0.00268950"},
        {Form.SpeedButton5, 2, "-0.00020283", "0.00029054"},
        {Form.SpeedButton6, 3, "-0.00020283", "0.00029054"},
    };
    const TAtlasSettings defaults;
    for (const TRow& row : rows) {
        Click(row.Button);
        const TDeltaPair want{defaults.Deltas[row.Type].Lon - *ParseReal(row.LonText),
                              defaults.Deltas[row.Type].Lat - *ParseReal(row.LatText)};
        EXPECT_EQ(Settings.Deltas[row.Type].Lon, want.Lon) << row.Type;
        EXPECT_EQ(Settings.Deltas[row.Type].Lat, want.Lat) << row.Type;
        const std::string letter(1, MapTypes[row.Type].SettingsLetter);
        EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_" + letter), FormatReal(want.Lon));
        EXPECT_EQ(IniValue("ATLAS_DELTA", "LAT_" + letter), FormatReal(want.Lat));
    }
    EXPECT_EQ(Settings.Deltas[0].Lon, 0.0);
    EXPECT_EQ(Settings.Deltas[0].Lat, 0.0);
    EXPECT_NE(Settings.Deltas[2].Lon, 0.0);  // -0.000202834 shows as -0.00020283
    // The fields keep their text; the window does not refill them.
    EXPECT_EQ(Form.cxMaskEdit3->text(), "0.00594480");
}

TEST_F(AtlasSetupTest, OffsetOfTheShownTypeAlsoMovesTheActivePair) {
    Form.ShownMapType = [] { return std::string("s"); };
    Type(Form.cxMaskEdit7, "0.001");
    Type(Form.cxMaskEdit8, "0");  // 0 leaves the latitude offset as it is
    Click(Form.SpeedButton5);
    const TAtlasSettings defaults;
    EXPECT_DOUBLE_EQ(Settings.Deltas[2].Lon, defaults.Deltas[2].Lon - 0.001);
    EXPECT_EQ(Settings.Deltas[2].Lat, defaults.Deltas[2].Lat);
    EXPECT_EQ(DeltaLon, Settings.Deltas[2].Lon);
    EXPECT_EQ(DeltaLat, Settings.Deltas[2].Lat);
    EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_VALUE"), FormatReal(Settings.Deltas[2].Lon));

    // A second press applies the correction again, since the field keeps it.
    Click(Form.SpeedButton5);
    EXPECT_DOUBLE_EQ(Settings.Deltas[2].Lon, defaults.Deltas[2].Lon - 0.002);

    // Another type's write leaves the active pair and LON_VALUE alone.
    const double activeLon = DeltaLon;
    Type(Form.cxMaskEdit3, "0.5");
    Click(Form.SpeedButton1);
    EXPECT_DOUBLE_EQ(Settings.Deltas[0].Lon, defaults.Deltas[0].Lon - 0.5);
    EXPECT_EQ(DeltaLon, activeLon);
    EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_VALUE"), FormatReal(activeLon));
}

TEST_F(AtlasSetupTest, ZoomButtonWritesFirstZoom) {
    Form.cxComboBox2->setFocus();
    for (int i = 0; i < 7; ++i) QTest::keyClick(Form.cxComboBox2, Qt::Key_Down);  // 5 -> 12
    ASSERT_EQ(Form.cxComboBox2->currentText(), "12");
    Click(Form.SpeedButton3);
    EXPECT_EQ(Settings.InitialZoom, 12);
    EXPECT_EQ(IniValue("ATLAS_ZOOM", "FIRST_ZOOM"), "12");
    // Nothing else was written.
    EXPECT_FALSE(IniValue("ATLAS_CENTER", "LON_VALUE"));
}

TEST_F(AtlasSetupTest, CentreButtonWritesBothValues) {
    Type(Form.cxMaskEdit1, "116.3912");
    Type(Form.cxMaskEdit2, "39.9067");
    Click(Form.SpeedButton2);
    EXPECT_EQ(Settings.InitialLon, 116.3912);
    EXPECT_EQ(Settings.InitialLat, 39.9067);
    EXPECT_EQ(IniValue("ATLAS_CENTER", "LON_VALUE"), "116.3912");
    EXPECT_EQ(IniValue("ATLAS_CENTER", "LAT_VALUE"), "39.9067");
}

TEST_F(AtlasSetupTest, EmptyCentreFieldIsReportedAndNothingIsWritten) {
    Form.cxMaskEdit1->clear();
    {
        TMessageCatcher catcher;
        Click(Form.SpeedButton2);
        ASSERT_TRUE(catcher.Text);
        EXPECT_EQ(catcher.Text->toStdString(), "'' is not a valid floating point value");
    }
    EXPECT_FALSE(fs::exists(Ini));
    EXPECT_EQ(Settings.InitialLon, TAtlasSettings().InitialLon);

    // A longitude that converts is taken before the latitude fails; still nothing is written.
    Type(Form.cxMaskEdit1, "100.5");
    Form.cxMaskEdit2->clear();
    {
        TMessageCatcher catcher;
        Click(Form.SpeedButton2);
        ASSERT_TRUE(catcher.Text);
        EXPECT_EQ(catcher.Text->toStdString(), "'' is not a valid floating point value");
    }
    EXPECT_EQ(Settings.InitialLon, 100.5);
    EXPECT_EQ(Settings.InitialLat, TAtlasSettings().InitialLat);
    EXPECT_FALSE(fs::exists(Ini));
}

// The input rule lets '|' through as a sign or separator; the write refuses it.
TEST_F(AtlasSetupTest, FieldRuleAndItsLooseEndsReachTheUser) {
    const std::pair<const char*, const char*> typed[] = {
        {"abc", ""}, {"-0.5x", "-0.5"}, {"12.3.4", "12.34"}, {"1|2", "1|2"}, {"|55", "|55"},
    };
    for (const auto& [keys, shown] : typed) {
        Type(Form.cxMaskEdit3, keys);
        EXPECT_EQ(Form.cxMaskEdit3->text().toStdString(), shown) << keys;
    }
    Type(Form.cxMaskEdit3, "1|2");
    TMessageCatcher catcher;
    Click(Form.SpeedButton1);
    ASSERT_TRUE(catcher.Text);
    EXPECT_EQ(catcher.Text->toStdString(), "'1|2' is not a valid floating point value");
    EXPECT_EQ(Settings.Deltas[0].Lon, TAtlasSettings().Deltas[0].Lon);
    EXPECT_FALSE(fs::exists(Ini));
}

TEST_F(AtlasSetupTest, ReadOnlySettingsFileIsReported) {
    { std::ofstream(Ini) << "[ATLAS_ZOOM]\nFIRST_ZOOM=7\n"; }
    fs::permissions(Ini, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string want = "Unable to write to " + Ini.string();
    for (QToolButton* button : {Form.SpeedButton2, Form.SpeedButton3, Form.SpeedButton6}) {
        TMessageCatcher catcher;
        Click(button);
        ASSERT_TRUE(catcher.Text) << button->objectName().toStdString();
        EXPECT_EQ(catcher.Text->toStdString(), want);
    }
    std::ifstream in(Ini);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "[ATLAS_ZOOM]\nFIRST_ZOOM=7\n");
}

TEST_F(AtlasSetupTest, EveryControlCarriesItsNameForScripts) {
    for (const char* name : {"GroupBox1", "GroupBox2", "GroupBox3", "GroupBox4", "GroupBox5", "GroupBox6", "cxMaskEdit1",
                             "cxMaskEdit10", "cxComboBox2", "SpeedButton1", "SpeedButton6", "BitBtn1"}) {
        auto* w = Form.findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QToolButton*>(w)) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << name;
        }
    }
    QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(Form.isVisible());
}

}  // namespace
