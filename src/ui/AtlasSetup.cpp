#include "AtlasSetup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QSpinBox>
#include <QToolButton>

#include "AtlasAppType.h"
#include "AtlasApplication.h"
#include "ChinaShift.h"
#include "NumberFormat.h"
#include "ReasonText.h"
#include "Settings.h"

namespace {

// The fields' input rule as the window has always had it. It is looser than it
// reads: '|' passes as a sign or separator, and at least two digits are needed
// before the text is complete. Whatever slips through is refused on writing.
const char* const FieldPattern = R"([+|-]?\d+?[\d|.]?\d+)";

constexpr int OffsetBoxWidth = 273;
constexpr int ZoomBoxWidth = 129;
constexpr int BoxHeight = 89;
constexpr int WriteButtonSide = 30;

// A small floppy-disk glyph; the style's save icon is empty on some platforms.
QIcon WriteGlyph() {
    QPixmap pm(20, 20);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QColor(40, 60, 120));
    p.setBrush(QColor(70, 110, 190));
    p.drawRect(2, 2, 15, 15);
    p.setBrush(Qt::white);
    p.drawRect(5, 3, 9, 5);
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(5, 11, 9, 6);
    return QIcon(pm);
}

}  // namespace

TAtlasSetupFM::TAtlasSetupFM(TSettingsFile& settings, QWidget* parent) : QDialog(parent), SettingsSet(settings) {
    SetUpFixedDialog(this, "AtlasSetupFM", QStringLiteral("参数设置"), QSize(602, 452));

    auto makeBox = [this](const char* name, const QString& caption, int x, int y, int w) {
        auto* box = new QGroupBox(caption, this);
        box->setObjectName(QString::fromLatin1(name));
        box->setGeometry(x, y, w, BoxHeight);
        return box;
    };
    GroupBox2 = makeBox("GroupBox2", QStringLiteral("精度误差(道路交通图)"), 16, 8, OffsetBoxWidth);
    GroupBox4 = makeBox("GroupBox4", QStringLiteral("精度误差(地形地貌图)"), 296, 8, OffsetBoxWidth);
    GroupBox5 = makeBox("GroupBox5", QStringLiteral("精度误差(卫星图)"), 16, 104, OffsetBoxWidth);
    GroupBox6 = makeBox("GroupBox6", QStringLiteral("精度误差(卫星道路图)"), 296, 104, OffsetBoxWidth);
    GroupBox1 = makeBox("GroupBox1", QStringLiteral("初始位置"), 16, 208, OffsetBoxWidth);
    GroupBox3 = makeBox("GroupBox3", QStringLiteral("初始放大倍数"), 296, 208, ZoomBoxWidth);

    const QString lonOffset = QStringLiteral("经度误差：");
    const QString latOffset = QStringLiteral("纬度误差：");
    AddField(GroupBox2, 0, lonOffset, 3);
    AddField(GroupBox2, 1, latOffset, 4);
    AddField(GroupBox4, 0, lonOffset, 5);
    AddField(GroupBox4, 1, latOffset, 6);
    AddField(GroupBox5, 0, lonOffset, 7);
    AddField(GroupBox5, 1, latOffset, 8);
    AddField(GroupBox6, 0, lonOffset, 9);
    AddField(GroupBox6, 1, latOffset, 10);
    AddField(GroupBox1, 0, QStringLiteral("经度："), 1);
    AddField(GroupBox1, 1, QStringLiteral("纬度："), 2);
    cxMaskEdit1 = Fields[1];
    cxMaskEdit2 = Fields[2];
    cxMaskEdit3 = Fields[3];
    cxMaskEdit4 = Fields[4];
    cxMaskEdit5 = Fields[5];
    cxMaskEdit6 = Fields[6];
    cxMaskEdit7 = Fields[7];
    cxMaskEdit8 = Fields[8];
    cxMaskEdit9 = Fields[9];
    cxMaskEdit10 = Fields[10];

    cxComboBox2 = new QComboBox(GroupBox3);
    cxComboBox2->setObjectName(QStringLiteral("cxComboBox2"));
    cxComboBox2->setAccessibleName(QStringLiteral("初始放大倍数"));
    for (int z = MinMapZoom; z <= MaxMapZoom; ++z) cxComboBox2->addItem(QString::number(z));
    cxComboBox2->setCurrentText(QStringLiteral("5"));
    cxComboBox2->setGeometry(12, 24, 70, 24);

    SpeedButton1 = AddWriteButton(GroupBox2, "SpeedButton1");
    SpeedButton4 = AddWriteButton(GroupBox4, "SpeedButton4");
    SpeedButton5 = AddWriteButton(GroupBox5, "SpeedButton5");
    SpeedButton6 = AddWriteButton(GroupBox6, "SpeedButton6");
    SpeedButton2 = AddWriteButton(GroupBox1, "SpeedButton2");
    SpeedButton3 = AddWriteButton(GroupBox3, "SpeedButton3");
    connect(SpeedButton1, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton2Click);
    connect(SpeedButton3, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton3Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton4Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton5Click);
    connect(SpeedButton6, &QToolButton::clicked, this, &TAtlasSetupFM::SpeedButton6Click);

    BitBtn1 = MakeDialogButton(this, this, "BitBtn1", QStyle::SP_DialogCloseButton, QStringLiteral("关闭"),
                               QRect(472, 232, 89, 49));
    AutoCalibrateButton = new QPushButton(QStringLiteral("按中心自动校准道路交通图和地形地貌图误差"), this);
    AutoCalibrateButton->setObjectName(QStringLiteral("AutoCalibrateButton"));
    AutoCalibrateButton->setToolTip(
        QStringLiteral("按当前中心位置计算道路交通图和地形地貌图的坐标偏移，写入这两种地图的误差"));
    AutoCalibrateButton->setGeometry(16, 312, 409, 32);
    connect(AutoCalibrateButton, &QPushButton::clicked, this, &TAtlasSetupFM::AutoCalibrateClick);

    AgeBox = new QGroupBox(QStringLiteral("地图有效期（天，0 为永不过期）"), this);
    AgeBox->setObjectName(QStringLiteral("AgeBox"));
    AgeBox->setGeometry(16, 352, 553, 60);
    auto ageField = [this](const char* name, const QString& caption, int x) {
        auto* label = new QLabel(caption, AgeBox);
        label->setGeometry(x, 26, 40, 24);
        auto* edit = new QSpinBox(AgeBox);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setAccessibleName(caption);
        edit->setRange(-1, MaxAgeDaysLimit);
        // Unset: the default source never expires, a template follows its server.
        edit->setSpecialValueText(QStringLiteral("默认"));
        edit->setGeometry(x + 40, 26, 90, 24);
        label->setBuddy(edit);
        return edit;
    };
    RoadAgeEdit = ageField("RoadAgeEdit", QStringLiteral("道路："), 12);
    TerrainAgeEdit = ageField("TerrainAgeEdit", QStringLiteral("地形："), 160);
    SatelliteAgeEdit = ageField("SatelliteAgeEdit", QStringLiteral("卫星："), 308);
    AgeWriteButton = AddWriteButton(AgeBox, "AgeWriteButton");
    AgeWriteButton->move(AgeBox->width() - WriteButtonSide - 8, 22);
    connect(AgeWriteButton, &QToolButton::clicked, this, &TAtlasSetupFM::AgeWriteClick);
    RectifyCheckBox = new QCheckBox(QStringLiteral("按真实坐标校正道路交通图和地形地貌图"), this);
    RectifyCheckBox->setObjectName(QStringLiteral("RectifyCheckBox"));
    RectifyCheckBox->setToolTip(QStringLiteral(
        "生成手机地图时按全国坐标偏移逐点重新采样道路交通图和地形地貌图，整幅地图都与GPS坐标一致；"
        "需多下载地图边缘的少量图块"));
    RectifyCheckBox->setGeometry(16, 420, RectifyCheckBox->sizeHint().width(), 24);
    connect(RectifyCheckBox, &QCheckBox::clicked, this, &TAtlasSetupFM::RectifyClick);
    CenterOnScreen(this);
}

QLineEdit* TAtlasSetupFM::AddField(QGroupBox* box, int row, const QString& caption, int editNumber) {
    const int y = 22 + row * 32;
    auto* label = new QLabel(caption, box);
    label->setGeometry(12, y, 76, 24);
    auto* edit = new QLineEdit(box);
    edit->setObjectName(QStringLiteral("cxMaskEdit%1").arg(editNumber));
    edit->setGeometry(88, y, 130, 24);
    edit->setFocusPolicy(Qt::ClickFocus);  // the fields are not tab stops
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QString::fromLatin1(FieldPattern)), edit));
    label->setBuddy(edit);
    edit->setAccessibleName(box->title() + QLatin1Char(' ') + caption);
    Fields[editNumber] = edit;
    return edit;
}

QToolButton* TAtlasSetupFM::AddWriteButton(QGroupBox* box, const char* name) {
    auto* button = new QToolButton(box);
    button->setObjectName(QString::fromLatin1(name));
    button->setIcon(WriteGlyph());
    button->setIconSize(QSize(20, 20));
    button->setToolTip(QStringLiteral("写入设置参数"));
    button->setAccessibleName(QStringLiteral("写入设置参数"));
    button->setAutoRaise(true);
    button->setGeometry(box->width() - WriteButtonSide - 8, BoxHeight - WriteButtonSide - 6, WriteButtonSide,
                        WriteButtonSide);
    return button;
}

void TAtlasSetupFM::FillFields() {
    auto show = [this](int n, double v) { Fields[n]->setText(QString::fromStdString(FormatFixed(v, 8))); };
    const TAtlasSettings& values = SettingsSet.Values();
    show(1, values.InitialLon);
    show(2, values.InitialLat);
    for (int i = 0; i < MapTypeCount; ++i) {
        show(3 + 2 * i, values.Deltas[i].Lon);
        show(4 + 2 * i, values.Deltas[i].Lat);
    }
    cxComboBox2->setCurrentText(QString::number(values.InitialZoom));
    RoadAgeEdit->setValue(values.Server.MaxAgeDays[MapTypeIndex(TMapType::Road)]);
    TerrainAgeEdit->setValue(values.Server.MaxAgeDays[MapTypeIndex(TMapType::Terrain)]);
    SatelliteAgeEdit->setValue(values.Server.MaxAgeDays[MapTypeIndex(TMapType::Satellite)]);
    RectifyCheckBox->setChecked(values.Rectify);
}

void TAtlasSetupFM::ShowError(const TSettingsError& error) {
    QMessageBox box(QMessageBox::Critical, windowTitle(), QString::fromStdString(error.what()), QMessageBox::Ok, this);
    // The message itself stays as users know it; the reason goes beneath.
    box.setInformativeText(ReasonText(error.Cause()));
    box.exec();
}

void TAtlasSetupFM::SpeedButton2Click() {
    auto convert = [](QLineEdit* edit) {
        const std::string text = edit->text().toStdString();
        const auto v = ParseReal(text);
        if (!v) throw TSettingsError(NotAFloatMessage(text));
        return *v;
    };
    try {
        // The longitude is taken as soon as it converts, even when the latitude
        // then fails and nothing is written.
        const double lon = convert(cxMaskEdit1);
        SettingsSet.HoldInitialLon(lon);
        const double lat = convert(cxMaskEdit2);
        SettingsSet.WriteInitialCenter(lon, lat);
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
}

void TAtlasSetupFM::SpeedButton3Click() {
    // The list is fixed to 5..17, so its text always converts.
    const auto zoom = ParseInt(cxComboBox2->currentText().toStdString());
    if (!zoom) return;
    try {
        SettingsSet.WriteInitialZoom(*zoom);
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
}

void TAtlasSetupFM::WriteOffsets(TMapType type, QLineEdit* lonEdit, QLineEdit* latEdit) {
    const TMapType shown = ShownMapType ? ShownMapType() : TMapType::Road;
    try {
        SettingsSet.ApplyDeltaCorrection(type, lonEdit->text().toStdString(), latEdit->text().toStdString(), shown);
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
    TellShownPair(type, shown);
}

void TAtlasSetupFM::TellShownPair(TMapType type, TMapType shown) {
    // Also after a failed write: the pair held is what the view must use.
    if (ShownPairChanged && shown == type) ShownPairChanged(SettingsSet.Values().Deltas[MapTypeIndex(type)]);
}

void TAtlasSetupFM::SpeedButton1Click() { WriteOffsets(TMapType::Road, cxMaskEdit3, cxMaskEdit4); }
void TAtlasSetupFM::SpeedButton4Click() { WriteOffsets(TMapType::Terrain, cxMaskEdit5, cxMaskEdit6); }
void TAtlasSetupFM::SpeedButton5Click() { WriteOffsets(TMapType::Satellite, cxMaskEdit7, cxMaskEdit8); }
void TAtlasSetupFM::SpeedButton6Click() { WriteOffsets(TMapType::SatelliteRoads, cxMaskEdit9, cxMaskEdit10); }

void TAtlasSetupFM::AgeWriteClick() {
    try {
        SettingsSet.WriteMaxAgeDays(TMapType::Road, RoadAgeEdit->value());
        SettingsSet.WriteMaxAgeDays(TMapType::Terrain, TerrainAgeEdit->value());
        // Satellite with roads is drawn from the satellite pictures' service and ages with them.
        SettingsSet.WriteMaxAgeDays(TMapType::Satellite, SatelliteAgeEdit->value());
        SettingsSet.WriteMaxAgeDays(TMapType::SatelliteRoads, SatelliteAgeEdit->value());
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
}

void TAtlasSetupFM::RectifyClick(bool on) {
    try {
        SettingsSet.WriteRectify(on);
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
    RectifyCheckBox->setChecked(SettingsSet.Values().Rectify);  // a failed write leaves the setting as it was
}

void TAtlasSetupFM::AutoCalibrateClick() {
    const TAtlasSettings& values = SettingsSet.Values();
    const TLonLat c = CurrentCenter ? CurrentCenter() : TLonLat{values.InitialLon, values.InitialLat};
    const TDeltaPair shift = ChinaShift(c.Lon, c.Lat);
    const TMapType shown = ShownMapType ? ShownMapType() : TMapType::Road;
    try {
        SettingsSet.WriteDeltaPair(TMapType::Road, shift, shown);
        SettingsSet.WriteDeltaPair(TMapType::Terrain, shift, shown);
    } catch (const TSettingsError& e) {
        ShowError(e);
    }
    for (const TMapType type : {TMapType::Road, TMapType::Terrain}) TellShownPair(type, shown);
    // The user sees what was written (or what stayed after a failed write).
    for (int i = 0; i < 2; ++i) {
        Fields[3 + 2 * i]->setText(QString::fromStdString(FormatFixed(values.Deltas[i].Lon, 8)));
        Fields[4 + 2 * i]->setText(QString::fromStdString(FormatFixed(values.Deltas[i].Lat, 8)));
    }
}
