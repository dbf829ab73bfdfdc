#include "AtlasCheckData.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressDialog>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStyle>

#include <exception>
#include <limits>

#include "AtlasApplication.h"
#include "AtlasDialogs.h"
#include "NumberFormat.h"
#include "TilesetFile.h"
#include "ReasonText.h"

namespace {

constexpr int ClientWidth = 680;
constexpr int ClientHeight = 552;
constexpr int SidePanelWidth = 211;
constexpr int MarkerSide = 20;

QPixmap MarkerPicture() {
    QPixmap pm(MarkerSide, MarkerSide);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QPen(Qt::red, 1));
    p.drawLine(0, 10, MarkerSide - 1, 10);
    p.drawLine(10, 0, 10, MarkerSide - 1);
    return pm;
}

// Thrown from the export's progress when the user cancels it.
struct TExportCancelled {};

// The save dialog's filters, in the order of TTilesetFormat.
const QString MbTilesFilter = QStringLiteral("MBTiles (*.mbtiles)");
const QString SqliteDbFilter = QStringLiteral("SQLite 图块库，OsmAnd 等手机程序用 (*.sqlitedb)");

QString Suffix(TTilesetFormat format) {
    return format == TTilesetFormat::MbTiles ? QStringLiteral("mbtiles") : QStringLiteral("sqlitedb");
}

// The format of the chosen file: its extension when that names one, else the chosen filter.
TTilesetFormat ChosenFormat(const QFileDialog& dialog, const QString& target) {
    if (const auto byName = TilesetFormatOfName(target.toStdString())) return *byName;
    return dialog.selectedNameFilter() == SqliteDbFilter ? TTilesetFormat::SqliteDb : TTilesetFormat::MbTiles;
}

bool FitsInt32(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

void TCheckDataImage::SetPicture(QImage picture) {
    Image = std::move(picture);
    resize(Image.size());
    update();
}

void TCheckDataImage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, Image);
}

void TCheckDataImage::mousePressEvent(QMouseEvent* e) {
    if (OnMouseDown) OnMouseDown(e);
}

void TCheckDataImage::mouseMoveEvent(QMouseEvent* e) {
    if (OnMouseMove) OnMouseMove(e);
}

TAtlasCheckDataFM::TAtlasCheckDataFM(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "AtlasCheckDataFM", QStringLiteral("查看地图数据"), QSize(ClientWidth, ClientHeight));

    // Qt paints every widget through a back buffer, so the panel needs no
    // double-buffering of its own; children are clipped to it.
    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, 0, ClientWidth - SidePanelWidth, ClientHeight);
    Panel2->setAutoFillBackground(true);
    View.PanelWidth = Panel2->width();
    View.PanelHeight = Panel2->height();

    Map = new TCheckDataImage(Panel2);
    Map->setObjectName(QStringLiteral("Map"));
    Map->setAccessibleName(QStringLiteral("地图"));
    Map->resize(0, 0);
    Map->OnMouseDown = [this](QMouseEvent* e) { MapMouseDown(e); };
    Map->OnMouseMove = [this](QMouseEvent* e) { MapMouseMove(e); };

    CenterImg = new QLabel(Panel2);
    CenterImg->setObjectName(QStringLiteral("CenterImg"));
    CenterImg->setGeometry(Panel2->width() / 2 - MarkerSide / 2, Panel2->height() / 2 - MarkerSide / 2, MarkerSide,
                           MarkerSide);
    CenterImg->setPixmap(MarkerPicture());
    CenterImg->setAttribute(Qt::WA_TranslucentBackground);
    // A drag that starts on the marker still moves the map.
    CenterImg->setAttribute(Qt::WA_TransparentForMouseEvents);
    CenterImg->raise();

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(ClientWidth - SidePanelWidth, 0, SidePanelWidth, ClientHeight);

    Label1 = new QLabel(QStringLiteral("缩放倍数："), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 16, 80, 24);
    ComboBox1 = new QComboBox(Panel1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(92, 16, 100, 24);
    Label1->setBuddy(ComboBox1);
    ComboBox1->setAccessibleName(Label1->text());
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TAtlasCheckDataFM::ComboBox1Change);

    GroupBox1 = new QGroupBox(QStringLiteral("包含类型"), Panel1);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(12, 56, 187, 148);
    for (int i = 0; i < MapTypeCount; ++i) {
        const int y = 28 + i * 28;
        const std::string_view name = MapTypeName(MapTypeAt(std::size_t(i)));
        const QString typeName = QString::fromUtf8(name.data(), int(name.size()));
        auto* radio = new QRadioButton(GroupBox1);
        radio->setObjectName(QStringLiteral("RadioButton%1").arg(i + 1));
        radio->setGeometry(14, y, 22, 22);
        radio->setAccessibleName(QStringLiteral("显示") + typeName);
        connect(radio, &QRadioButton::clicked, this, &TAtlasCheckDataFM::RadioButton1Click);
        auto* check = new QCheckBox(typeName, GroupBox1);
        check->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        check->setGeometry(40, y, 130, 22);
        check->setEnabled(false);
        Radio[i] = radio;
        Check[i] = check;
    }
    RadioButton1 = Radio[0];
    RadioButton2 = Radio[1];
    RadioButton3 = Radio[2];
    RadioButton4 = Radio[3];
    CheckBox1 = Check[0];
    CheckBox2 = Check[1];
    CheckBox3 = Check[2];
    CheckBox4 = Check[3];
    RadioButton1->setChecked(true);

    Label2 = new QLabel(QStringLiteral("中心坐标："), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(12, 220, 100, 24);
    Edit2 = new QLineEdit(Panel1);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setGeometry(12, 246, 187, 24);
    Edit2->setReadOnly(true);
    Edit3 = new QLineEdit(Panel1);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setGeometry(12, 278, 187, 24);
    Edit3->setReadOnly(true);
    Label2->setBuddy(Edit2);
    Edit2->setAccessibleName(QStringLiteral("中心坐标：经度"));
    Edit3->setAccessibleName(QStringLiteral("中心坐标：纬度"));

    ExportButton = new QPushButton(QStringLiteral("导出 MBTiles / sqlitedb…"), Panel1);
    ExportButton->setObjectName(QStringLiteral("ExportButton"));
    ExportButton->setGeometry(12, 318, 187, 30);
    ExportButton->setToolTip(QStringLiteral("把显示的地图类型导出为其他地图程序能读的 MBTiles 或 sqlitedb 文件"));
    ExportButton->setEnabled(false);
    connect(ExportButton, &QPushButton::clicked, this, &TAtlasCheckDataFM::ExportButtonClick);

    BitBtn1 = MakeDialogButton(this, Panel1, "BitBtn1", QStyle::SP_DialogCloseButton, QStringLiteral("关闭"),
                               QRect(61, 470, 89, 49));
    CenterOnScreen(this);
}

TAtlasCheckDataFM::~TAtlasCheckDataFM() = default;

void TAtlasCheckDataFM::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (!e->spontaneous()) FormShow();
}

void TAtlasCheckDataFM::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TAtlasCheckDataFM::FormShow() {
    if (FilePath.isEmpty()) return;
    View.ImageLeft = 0;
    View.ImageTop = 0;
    if (const auto opened = Reader.Open(FilePath.toStdString()); !opened) {
        // The window keeps what it showed last, but with no file behind it.
        QMessageBox::warning(this, windowTitle(), ReadErrorText(opened.Error(), FilePath), QMessageBox::Ok);
        return;
    }
    const TMapDataHeader& header = Reader.Header();
    {
        const QSignalBlocker block(ComboBox1);
        ComboBox1->clear();
        for (int z = header.MinZoom; z <= header.MaxZoom; ++z) ComboBox1->addItem(QString::number(z));
        ComboBox1->setCurrentIndex(0);
    }
    for (int i = 0; i < MapTypeCount; ++i) {
        Check[i]->setChecked(header.TypeIncluded[i] != 0);
        Radio[i]->setEnabled(header.TypeIncluded[i] != 0);
    }
    // The first shown type of road, terrain and satellite; satellite road
    // otherwise, even when the file does not hold it.
    int type = MapTypeCount - 1;
    for (int i = 0; i < MapTypeCount - 1; ++i)
        if (Radio[i]->isEnabled()) {
            type = i;
            break;
        }
    Radio[type]->setChecked(true);
    ShownType = MapTypeAt(std::size_t(type));
    TakeTypePair();
    UpdateExportButton();

    ViewCenterLon = header.CenterLon;
    ViewCenterLat = header.CenterLat;
    ShowReadout(ViewCenterLon, ViewCenterLat);
    View.ViewZoom = header.MinZoom;
    View.Extent = header.TileRects[size_t(header.MinZoom)];
    CentreOn(View.ViewZoom, ViewCenterLon, ViewCenterLat);
}

void TAtlasCheckDataFM::FormClose() {
    Reader.Close();
    UpdateExportButton();
}

void TAtlasCheckDataFM::UpdateExportButton() {
    ExportButton->setEnabled(Reader.IsOpen() && Reader.Header().TypeIncluded[MapTypeIndex(ShownType)] != 0);
}

void TAtlasCheckDataFM::ExportButtonClick() {
    if (!ExportButton->isEnabled()) return;
    const TMapType type = ShownType;
    static const TFileDialogParams SaveTileset{QStringLiteral("导出图块库"), MbTilesFilter + QStringLiteral(";;") + SqliteDbFilter,
                                               Suffix(TTilesetFormat::MbTiles), QFileDialog::AcceptSave};
    const auto dialog = MakeFileDialog(SaveTileset, this);
    const QFileInfo source(FilePath);
    dialog->setDirectory(source.absolutePath());
    dialog->selectFile(source.completeBaseName() + QLatin1Char('-') + QLatin1String(MapTypeCode(type)) + QLatin1Char('.') +
                       Suffix(TTilesetFormat::MbTiles));
    // Choosing the other format changes the extension of the name offered with it.
    QFileDialog* d = dialog.get();
    connect(d, &QFileDialog::filterSelected, d, [d](const QString& filter) {
        const TTilesetFormat format = filter == SqliteDbFilter ? TTilesetFormat::SqliteDb : TTilesetFormat::MbTiles;
        d->setDefaultSuffix(Suffix(format));
        const QFileInfo typed(d->selectedFiles().value(0));
        if (!typed.fileName().isEmpty() && TilesetFormatOfName(typed.fileName().toStdString()))
            d->selectFile(typed.completeBaseName() + QLatin1Char('.') + Suffix(format));
    });
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
    const QString target = dialog->selectedFiles().constFirst();
    const TTilesetFormat format = ChosenFormat(*dialog, target);

    QProgressDialog progress(QStringLiteral("正在导出…"), QStringLiteral("取消"), 0, 100, this);
    progress.setWindowTitle(windowTitle());
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    QString failure;
    std::int64_t written = 0;
    try {
        TTilesetOptions options;
        options.Format = format;
        options.Name = source.completeBaseName().toStdString();
        written = ExportTileset(Reader, type, target.toStdString(), options, [&](std::int64_t done, std::int64_t total) {
            progress.setMaximum(int(std::min<std::int64_t>(total, std::numeric_limits<int>::max())));
            progress.setValue(int(std::min<std::int64_t>(done, progress.maximum())));
            QCoreApplication::processEvents();
            if (progress.wasCanceled()) throw TExportCancelled{};
        });
    } catch (const TExportCancelled&) {
        return;
    } catch (const std::exception& e) {
        failure = ErrorText(e);
    }
    progress.reset();
    if (!failure.isEmpty())
        QMessageBox::warning(this, windowTitle(), QStringLiteral("导出失败：") + failure, QMessageBox::Ok);
    else
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("已导出 %1 个图块到 \"%2\"。").arg(written).arg(target), QMessageBox::Ok);
}

void TAtlasCheckDataFM::TakeTypePair() {
    View.Pair = Reader.Header().Deltas[MapTypeIndex(ShownType)];
}

void TAtlasCheckDataFM::ShowReadout(double lon, double lat) {
    Edit2->setText(QString::fromStdString(FormatReal(lon)));
    Edit3->setText(QString::fromStdString(FormatReal(lat)));
}

void TAtlasCheckDataFM::CentreOn(int zoom, double lon, double lat) {
    View.CentreOn(zoom, lon, lat);
    RebuildImage();
}

void TAtlasCheckDataFM::PlaceMap() { Map->move(int(View.ImageLeft), int(View.ImageTop)); }

void TAtlasCheckDataFM::RebuildImage() {
    QImage picture(int(View.ImageWidth()), int(View.ImageHeight()), QImage::Format_RGB32);
    // Squares without a tile are cleared on every rebuild so that nothing of
    // the previous window or type shows through.
    picture.fill(EmptySquareColor());
    if (Reader.IsOpen()) {
        QPainter painter(&picture);
        for (std::int64_t y = View.ViewTop; y <= View.ViewBottom; ++y) {
            for (std::int64_t x = View.ViewLeft; x <= View.ViewRight; ++x) {
                if (!FitsInt32(x) || !FitsInt32(y)) continue;
                const std::int64_t entry =
                    Reader.FindEntry(TileKey({ShownType, View.ViewZoom, std::int32_t(x), std::int32_t(y)}));
                if (entry < 0) continue;
                // An image that cannot be read or decoded leaves its square empty;
                // the rest of the window is still worth showing.
                std::optional<TBitmap> tile;
                try {
                    if (auto read = Reader.ReadTileImage(size_t(entry))) tile = std::move(*read);
                } catch (const std::exception&) {
                    tile.reset();
                }
                if (!tile || tile->Empty()) continue;
                const QImage image(tile->Rgb.data(), tile->Width, tile->Height, tile->Width * 3,
                                   QImage::Format_RGB888);
                painter.drawImage(QPoint(int((x - View.ViewLeft) * TileSize), int((y - View.ViewTop) * TileSize)),
                                  image);
            }
        }
    }
    Map->SetPicture(std::move(picture));
    PlaceMap();
}

void TAtlasCheckDataFM::MapMouseDown(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    View.MouseDown(p.x(), p.y());
}

void TAtlasCheckDataFM::MapMouseMove(QMouseEvent* e) {
    if (e->buttons() != Qt::LeftButton) return;
    if (e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) return;
    if (!Reader.IsOpen()) return;
    const QPoint p = e->position().toPoint();
    if (View.MouseMove(p.x(), p.y()))
        RebuildImage();
    else
        PlaceMap();
    const TLonLat centre = View.CentrePosition();
    ViewCenterLon = centre.Lon;
    ViewCenterLat = centre.Lat;
    ShowReadout(centre.Lon, centre.Lat);
}

void TAtlasCheckDataFM::ComboBox1Change() {
    if (!Reader.IsOpen()) return;
    const auto zoom = ParseInt(ComboBox1->currentText().toStdString());
    if (!zoom || *zoom < 0 || *zoom >= ZoomTableSize) return;
    // The point under the marker at the old zoom, from where the image is now.
    const TLonLat centre = View.CentrePosition();
    View.ViewZoom = *zoom;
    View.Extent = Reader.Header().TileRects[size_t(*zoom)];
    CentreOn(*zoom, centre.Lon, centre.Lat);
}

void TAtlasCheckDataFM::RadioButton1Click() {
    if (!Reader.IsOpen()) return;
    ShownType = MapTypeAt(MapTypeCount - 1);
    for (int i = 0; i < MapTypeCount - 1; ++i)
        if (Radio[i]->isChecked()) {
            ShownType = MapTypeAt(std::size_t(i));
            break;
        }
    TakeTypePair();
    UpdateExportButton();
    CentreOn(View.ViewZoom, ViewCenterLon, ViewCenterLat);
}
