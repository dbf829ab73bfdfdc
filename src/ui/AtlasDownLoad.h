// TAtlasDownLoadFM: the confirmation dialog of a generation run. It shows the
// plan's figures and answers OK or Cancel. Created once at start and reused;
// its fields keep the previous run's texts until the next run overwrites them.
#pragma once

#include <QDialog>

#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;

class TAtlasDownLoadFM : public QDialog {
public:
    explicit TAtlasDownLoadFM(QWidget* parent = nullptr);

    // Zoom level count, map size at the current zoom, at the maximum zoom, tiles of one type.
    void FillFields(const QString& levels, const QString& mapSize, const QString& maxMapSize,
                    const QString& tileTotal);
    // Largest calibration error of the road and terrain maps, estimated file size.
    void FillEstimates(const QString& residual, const QString& fileSize);
    // Planned tiles not in the cache, and cached but expired: those the run will ask for.
    void FillFetch(std::int64_t missing, std::int64_t expired);
    // Whether the road and terrain maps are written in true coordinates, and the tiles to download.
    void FillRectify(const QString& state);

    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label2;
    QLineEdit* Edit2;
    QLabel* Label3;
    QLineEdit* Edit3;
    QLabel* Label4;
    QLineEdit* Edit4;
    QLabel* ResidualLabel;
    QLineEdit* ResidualEdit;
    QLabel* SizeLabel;
    QLineEdit* SizeEdit;
    QLabel* FetchLabel;
    QLineEdit* FetchEdit;
    QLabel* RectifyLabel;
    QLineEdit* RectifyEdit;
    QPushButton* BitBtn1;  // OK, the default button
    QPushButton* BitBtn2;  // Cancel

protected:
    void showEvent(QShowEvent* e) override;
};
