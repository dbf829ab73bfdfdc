// TAtlasCheckDataFM: the map data viewer. Shows a map data file zoom level by
// zoom level and type by type, lets the user drag the tiles within the file's
// extent and reads out the calibrated position under the centre marker. It
// never writes the file. Created once and reused: each showing opens the path
// the opener set, each closing releases the index and closes the file.
#pragma once

#include <QDialog>
#include <QImage>
#include <QWidget>

#include <functional>
#include <string>

#include "MapDataFile.h"
#include "ViewerState.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The viewer's tile image: paints its picture at its own size and hands
// pointer presses and moves to the dialog.
class TCheckDataImage : public QWidget {
public:
    explicit TCheckDataImage(QWidget* parent) : QWidget(parent) {}

    void SetPicture(QImage picture);
    const QImage& Picture() const { return Image; }

    std::function<void(QMouseEvent*)> OnMouseDown;
    std::function<void(QMouseEvent*)> OnMouseMove;

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    QImage Image;
};

class TAtlasCheckDataFM : public QDialog {
public:
    explicit TAtlasCheckDataFM(QWidget* parent = nullptr);
    ~TAtlasCheckDataFM() override;

    // The file the next showing opens.
    void SetFilePath(const QString& path) { FilePath = path; }
    const QString& GetFilePath() const { return FilePath; }

    // Read access for the main window's checks and for tests.
    const TViewerState& State() const { return View; }
    TMapType ViewType() const { return ShownType; }
    bool FileOpen() const { return Reader.IsOpen(); }
    // The colour of squares whose tile the file does not hold or cannot decode.
    static QColor EmptySquareColor() { return QColor(0xD8, 0xD8, 0xD8); }

    QWidget* Panel2;
    TCheckDataImage* Map;
    QLabel* CenterImg;
    QWidget* Panel1;
    QLabel* Label1;
    QComboBox* ComboBox1;
    QGroupBox* GroupBox1;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QRadioButton* RadioButton3;
    QRadioButton* RadioButton4;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox4;
    QLabel* Label2;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QPushButton* BitBtn1;
    // Not of the original window: writes the shown type as an MBTiles or sqlitedb file.
    QPushButton* ExportButton;

    void FormShow();
    void FormClose();
    void ComboBox1Change();
    void RadioButton1Click();
    void MapMouseDown(QMouseEvent* e);
    void MapMouseMove(QMouseEvent* e);
    void ExportButtonClick();

    // Every way of closing ends here, so the file is always released.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void CentreOn(int zoom, double lon, double lat);
    void RebuildImage();
    void PlaceMap();
    void ShowReadout(double lon, double lat);
    void TakeTypePair();
    void UpdateExportButton();

    QString FilePath;
    TMapDataReader Reader;
    TViewerState View;
    TMapType ShownType = TMapType::Road;
    double ViewCenterLon = 0.0;
    double ViewCenterLat = 0.0;
    QRadioButton* Radio[MapTypeCount] = {};
    QCheckBox* Check[MapTypeCount] = {};
};
