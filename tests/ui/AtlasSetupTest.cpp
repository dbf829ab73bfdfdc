// The settings window driven through its real controls: what it shows on
// opening, what the write buttons store in memory and in the file, and the
// messages of the failure paths.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QMessageBox>

#include <QAbstractButton>
#include <QComboBox>
#include <QPushButton>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "AtlasAppType.h"
#include "AtlasSetup.h"
#include "ChinaShift.h"
#include "Geometry.h"
#include "IniFile.h"
#include "NumberFormat.h"
#include "PlanEstimates.h"
#include "Settings.h"
#include "TempDir.h"
#include "UiTestSupport.h"

namespace {

class AtlasSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings.Load();  // no file: every default
        Active = Settings.Values().Deltas[0];
        Form.ShownPairChanged = [this](TDeltaPair pair) { Active = pair; };
        Form.FillFields();
        Form.show();
    }
    std::optional<std::string> IniValue(const char* section, const std::string& key) const {
        return TIniFile(Ini).ReadString(section, key);
    }
    static void Type(QLineEdit* edit, const QString& text) {
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    // Clicks a write button and returns the messages it showed.
    static QStringList Click(QAbstractButton* button) {
        TModalAnswers answers;
        QTest::mouseClick(button, Qt::LeftButton);
        return answers.Seen;
    }

    TTempDir Dir;
    const std::filesystem::path Ini = Dir / "AtlasPocket.Ini";
    TSettingsFile Settings{Ini};  // the main window's set
    TAtlasSetupFM Form{Settings};
    TDeltaPair Active;  // the pair the main window would hold
    const TAtlasSettings Defaults;
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
}

// Qt takes the C library locale from the environment: under a comma-decimal
// locale the window still shows points and an untouched button still zeroes.
TEST_F(AtlasSetupTest, CommaDecimalLocaleKeepsPointsAndUntouchedButtonsZero) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + (Dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0) ::setenv("LOCPATH", Dir.DirString().c_str(), 1);
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale and localedef could not make one";
    }
    struct TRestore {
        ~TRestore() { std::setlocale(LC_ALL, "C"); }
    } restore;
    Form.FillFields();
    EXPECT_EQ(Form.cxMaskEdit1->text(), "123.42590000");
    EXPECT_EQ(Form.cxMaskEdit3->text(), "0.00594480");
    EXPECT_TRUE(Click(Form.SpeedButton1).isEmpty());
    EXPECT_NEAR(Settings.Values().Deltas[0].Lon, 0.0, 1e-15);
    const std::optional<std::string> stored = IniValue("ATLAS_DELTA", "LON_M");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->find(','), std::string::npos) << *stored;
    EXPECT_EQ(FormatByteSize(std::int64_t(3) << 19), "1.5 MB");  // the confirmation's size line
}

// Pressing an offset button on the untouched fields subtracts each offset's
// own 8-decimal text, leaving only the rounding residue.
TEST_F(AtlasSetupTest, UneditedOffsetButtonLeavesTheRoundingResidue) {
    const struct { QToolButton* Button; int Type; const char* LonText; const char* LatText; } rows[] = {
        {Form.SpeedButton1, 0, "0.00594480", "0.00268950"}, {Form.SpeedButton4, 1, "0.00594480", "0.00268950"},
        {Form.SpeedButton5, 2, "-0.00020283", "0.00029054"}, {Form.SpeedButton6, 3, "-0.00020283", "0.00029054"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Type);
        EXPECT_TRUE(Click(row.Button).isEmpty());
        const TDeltaPair want{Defaults.Deltas[row.Type].Lon - *ParseReal(row.LonText),
                              Defaults.Deltas[row.Type].Lat - *ParseReal(row.LatText)};
        EXPECT_EQ(Settings.Values().Deltas[row.Type].Lon, want.Lon);
        EXPECT_EQ(Settings.Values().Deltas[row.Type].Lat, want.Lat);
        const std::string letter(1, MapTypeSettingsLetter(MapTypeAt(row.Type)));
        EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_" + letter), FormatReal(want.Lon));
        EXPECT_EQ(IniValue("ATLAS_DELTA", "LAT_" + letter), FormatReal(want.Lat));
    }
    EXPECT_EQ(Form.cxMaskEdit3->text(), "0.00594480");  // the fields are not refilled
}

TEST_F(AtlasSetupTest, OffsetOfTheShownTypeAlsoMovesTheActivePair) {
    Form.ShownMapType = [] { return TMapType::Satellite; };
    Type(Form.cxMaskEdit7, "0.001");
    Type(Form.cxMaskEdit8, "0");  // 0 leaves the latitude offset as it is
    Click(Form.SpeedButton5);
    EXPECT_DOUBLE_EQ(Settings.Values().Deltas[2].Lon, Defaults.Deltas[2].Lon - 0.001);
    EXPECT_EQ(Settings.Values().Deltas[2].Lat, Defaults.Deltas[2].Lat);
    EXPECT_TRUE(Active.Lon == Settings.Values().Deltas[2].Lon && Active.Lat == Settings.Values().Deltas[2].Lat);
    EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_VALUE"), FormatReal(Settings.Values().Deltas[2].Lon));

    // Another type's write leaves the active pair and LON_VALUE alone.
    const double activeLon = Active.Lon;
    Type(Form.cxMaskEdit3, "0.5");
    Click(Form.SpeedButton1);
    EXPECT_DOUBLE_EQ(Settings.Values().Deltas[0].Lon, Defaults.Deltas[0].Lon - 0.5);
    EXPECT_EQ(Active.Lon, activeLon);
    EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_VALUE"), FormatReal(activeLon));
}

// The shift at the centre becomes the road and terrain pairs, written like the
// write buttons write; the satellite pairs stay.
TEST_F(AtlasSetupTest, AutoCalibrationWritesRoadAndTerrainFromTheCentre) {
    const TDeltaPair beijing = ChinaShift(116.3975, 39.9087);
    Form.CurrentCenter = [] { return TLonLat{116.3975, 39.9087}; };
    for (const char* shown : {"s", "p"}) {
        SCOPED_TRACE(shown);
        Form.ShownMapType = [shown] { return *ParseMapType(shown); };
        EXPECT_TRUE(Click(Form.AutoCalibrateButton).isEmpty());
        for (int t : {0, 1}) {
            const std::string letter(1, MapTypeSettingsLetter(MapTypeAt(t)));
            EXPECT_EQ(Settings.Values().Deltas[t].Lon, beijing.Lon);
            EXPECT_EQ(Settings.Values().Deltas[t].Lat, beijing.Lat);
            EXPECT_EQ(IniValue("ATLAS_DELTA", "LON_" + letter), FormatReal(beijing.Lon));
            EXPECT_EQ(IniValue("ATLAS_DELTA", "LAT_" + letter), FormatReal(beijing.Lat));
        }
        EXPECT_EQ(Form.cxMaskEdit5->text().toStdString(), FormatFixed(beijing.Lon, 8));
        EXPECT_EQ(Form.cxMaskEdit4->text().toStdString(), FormatFixed(beijing.Lat, 8));
        EXPECT_EQ(Settings.Values().Deltas[2].Lon, Defaults.Deltas[2].Lon);
        EXPECT_FALSE(IniValue("ATLAS_DELTA", "LON_S"));
        // Shown satellite: the active pair stays; shown terrain: it follows.
        const bool follows = std::string(shown) == "p";
        EXPECT_EQ(Active.Lat, follows ? beijing.Lat : Defaults.Deltas[0].Lat);
        EXPECT_EQ(IniValue("ATLAS_DELTA", "LAT_VALUE").has_value(), follows);
    }
}

// The input rule lets '|' through as a sign or separator; the write refuses it.
TEST_F(AtlasSetupTest, WritesRefuseFieldsThatDoNotConvertAndWriteNothing) {
    const QStringList refused{QStringLiteral("'' is not a valid floating point value")};
    Form.cxMaskEdit1->clear();
    EXPECT_EQ(Click(Form.SpeedButton2), refused);
    EXPECT_EQ(Settings.Values().InitialLon, Defaults.InitialLon);
    // A longitude that converts is taken before the latitude fails; still nothing is written.
    Type(Form.cxMaskEdit1, "100.5");
    Form.cxMaskEdit2->clear();
    EXPECT_EQ(Click(Form.SpeedButton2), refused);
    EXPECT_EQ(Settings.Values().InitialLon, 100.5);
    EXPECT_EQ(Settings.Values().InitialLat, Defaults.InitialLat);

    const std::pair<const char*, const char*> typed[] = {
        {"abc", ""}, {"-0.5x", "-0.5"}, {"12.3.4", "12.34"}, {"|55", "|55"}, {"1|2", "1|2"}};
    for (const auto& [keys, shown] : typed) {
        Type(Form.cxMaskEdit3, keys);
        EXPECT_EQ(Form.cxMaskEdit3->text().toStdString(), shown) << keys;
    }
    EXPECT_EQ(Click(Form.SpeedButton1), QStringList{QStringLiteral("'1|2' is not a valid floating point value")});
    EXPECT_EQ(Settings.Values().Deltas[0].Lon, Defaults.Deltas[0].Lon);
    EXPECT_FALSE(std::filesystem::exists(Ini));

    Type(Form.cxMaskEdit2, "39.9067");
    EXPECT_TRUE(Click(Form.SpeedButton2).isEmpty());
    EXPECT_EQ(Settings.Values().InitialLat, 39.9067);
    EXPECT_EQ(IniValue("ATLAS_CENTER", "LON_VALUE"), "100.5");
    EXPECT_EQ(IniValue("ATLAS_CENTER", "LAT_VALUE"), "39.9067");
}

TEST_F(AtlasSetupTest, ReadOnlySettingsFileIsReported) {
    std::ofstream(Ini) << "[ATLAS_ZOOM]\nFIRST_ZOOM=7\n";
    std::filesystem::permissions(Ini, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
    const QStringList want{QString::fromStdString("Unable to write to " + Ini.string())};
    for (QToolButton* button : {Form.SpeedButton2, Form.SpeedButton3, Form.SpeedButton6})
        EXPECT_EQ(Click(button), want) << button->objectName().toStdString();
    QString why;  // the reason stands beneath the message
    TModalAnswers answers;
    answers.Then([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) why = box->informativeText();
        ClickOk(modal);
    });
    QTest::mouseClick(Form.SpeedButton3, Qt::LeftButton);
    EXPECT_EQ(why, QString::fromStdString("文件 \"" + Ini.string() + "\" 被设为只读"));
    EXPECT_EQ(IniValue("ATLAS_ZOOM", "FIRST_ZOOM"), "7");
    EXPECT_FALSE(IniValue("ATLAS_CENTER", "LON_VALUE"));
}

}  // namespace

TEST_F(AtlasSetupTest, RectifyCheckBoxIsKeptInTheSettingsFile) {
    EXPECT_FALSE(Form.RectifyCheckBox->isChecked());
    EXPECT_TRUE(Click(Form.RectifyCheckBox).isEmpty());
    EXPECT_TRUE(Settings.Values().Rectify);
    EXPECT_EQ(IniValue("ATLAS_GENERATE", "RECTIFY"), "1");
    EXPECT_TRUE(Click(Form.RectifyCheckBox).isEmpty());
    EXPECT_FALSE(Settings.Values().Rectify);
    EXPECT_EQ(IniValue("ATLAS_GENERATE", "RECTIFY"), "0");
}
