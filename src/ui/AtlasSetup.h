// TAtlasSetupFM: the settings window. Each group of fields has its own write
// button that stores the group in memory and in the settings file at once;
// there is no OK or Cancel. Created once and reused; the opener calls
// FillFields before each modal showing. The settings set it edits is the
// main window's.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

#include "Geometry.h"
#include "Settings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QSpinBox;

class TAtlasSetupFM : public QDialog {
public:
    explicit TAtlasSetupFM(TSettingsFile& settings, QWidget* parent = nullptr);

    // Shows the present settings: reals fixed-point with 8 decimals, the zoom in decimal.
    void FillFields();

    // Type code of the map the main view shows; an offset write of that type
    // also writes LON_VALUE/LAT_VALUE. Set by the main window.
    std::function<TMapType()> ShownMapType;
    // Told the shown type's pair after an offset write of that type, so the
    // window and its view convert with it at once. Set by the main window.
    std::function<void(TDeltaPair)> ShownPairChanged;
    // The main window's generation centre, for the automatic calibration.
    std::function<TLonLat()> CurrentCenter;

    QGroupBox* GroupBox1;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox3;
    QGroupBox* GroupBox4;
    QGroupBox* GroupBox5;
    QGroupBox* GroupBox6;
    QLineEdit* cxMaskEdit1;
    QLineEdit* cxMaskEdit2;
    QLineEdit* cxMaskEdit3;
    QLineEdit* cxMaskEdit4;
    QLineEdit* cxMaskEdit5;
    QLineEdit* cxMaskEdit6;
    QLineEdit* cxMaskEdit7;
    QLineEdit* cxMaskEdit8;
    QLineEdit* cxMaskEdit9;
    QLineEdit* cxMaskEdit10;
    QComboBox* cxComboBox2;
    QToolButton* SpeedButton1;
    QToolButton* SpeedButton2;
    QToolButton* SpeedButton3;
    QToolButton* SpeedButton4;
    QToolButton* SpeedButton5;
    QToolButton* SpeedButton6;
    // Days a cached tile serves, per road, terrain and satellite (both satellite types); "默认" is unset.
    QGroupBox* AgeBox;
    QSpinBox* RoadAgeEdit;
    QSpinBox* TerrainAgeEdit;
    QSpinBox* SatelliteAgeEdit;
    QToolButton* AgeWriteButton;
    QPushButton* BitBtn1;
    QPushButton* AutoCalibrateButton;  // road and terrain pairs from the shift at the centre
    QCheckBox* RectifyCheckBox;        // generation runs write road and terrain maps in true coordinates

    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void SpeedButton6Click();
    void AgeWriteClick();
    void AutoCalibrateClick();
    void RectifyClick(bool on);

private:
    QLineEdit* AddField(QGroupBox* box, int row, const QString& caption, int editNumber);
    QToolButton* AddWriteButton(QGroupBox* box, const char* name);
    void WriteOffsets(TMapType type, QLineEdit* lonEdit, QLineEdit* latEdit);
    void TellShownPair(TMapType type, TMapType shown);
    void ShowError(const TSettingsError& error);

    TSettingsFile& SettingsSet;
    QLineEdit* Fields[11] = {};  // Fields[n] is cxMaskEditn
};
