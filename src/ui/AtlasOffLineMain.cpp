#include "AtlasOffLineMain.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMoveEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <filesystem>
#include <system_error>

#include "AtlasAppType.h"
#include "AtlasApplication.h"
#include "AtlasCheckData.h"
#include "AtlasClass.h"
#include "AtlasDownLoad.h"
#include "AtlasHelp.h"
#include "AtlasSetup.h"
#include "AtomicFile.h"
#include "NumberFormat.h"
#include "ReasonText.h"
#include "Settings.h"

namespace {

constexpr int SidePanelWidth = 220;
const QColor StripColour(192, 220, 192);

QString RealText(double v) { return QString::fromStdString(FormatReal(v)); }

}  // namespace

const TFileDialogParams TAtlasOffLineMainFM::SaveDialog1{
    QStringLiteral("保存文件"), QStringLiteral("地图数据(*.Dat)"), QStringLiteral("Dat"), QFileDialog::AcceptSave};
const TFileDialogParams TAtlasOffLineMainFM::OpenDialog1{
    QStringLiteral("打开文件"), QStringLiteral("地图数据(*.Dat)"), QStringLiteral("Dat"), QFileDialog::AcceptOpen};
const TFileDialogParams TAtlasOffLineMainFM::SaveDialog2{
    QStringLiteral("保存文件"), QStringLiteral("地图参数(*.Map)"), QStringLiteral("Map"), QFileDialog::AcceptSave, false};
const TFileDialogParams TAtlasOffLineMainFM::OpenDialog2{
    QString(), QStringLiteral("地图参数(*.Map)"), QStringLiteral("Map"), QFileDialog::AcceptOpen};

void TZoomComboBox::hidePopup() {
    // hidePopup also runs when the list is not open; only a real closing counts.
    const bool wasOpen = view() && view()->isVisible();
    QComboBox::hidePopup();
    // The list is closed before a chosen item becomes current, so the report
    // waits until the choice has been taken.
    if (wasOpen)
        QMetaObject::invokeMethod(
            this, [this] { if (OnCloseUp) OnCloseUp(); }, Qt::QueuedConnection);
}

TAtlasOffLineMainFM::TAtlasOffLineMainFM(TDataLocations locations, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Locations(std::move(locations)),
      SettingsSet(Locations.SettingsFile) {
    setObjectName(QStringLiteral("AtlasOffLineMainFM"));
    setWindowTitle(QStringLiteral("手机离线地图生成程序"));
    setFont(ProgramFont());
    resize(868, 698);
    BuildPanel();
    FormCreate();
}

TAtlasOffLineMainFM::~TAtlasOffLineMainFM() { FormDestroy(); }

void TAtlasOffLineMainFM::SetWindows(const TAtlasWindows& windows) {
    Windows = windows;
    if (Windows.AtlasSetupFM) {
        Windows.AtlasSetupFM->ShownMapType = [this] { return View ? View->MapType() : TMapType::Road; };
        Windows.AtlasSetupFM->CurrentCenter = [this] { return TLonLat{FCenterLon, FCenterLat}; };
        Windows.AtlasSetupFM->ShownPairChanged = [this](TDeltaPair pair) { SetActivePair(pair); };
    }
}

void TAtlasOffLineMainFM::SetActivePair(TDeltaPair pair) {
    DeltaLon = pair.Lon;
    DeltaLat = pair.Lat;
    if (View) View->SetDeltaPair(pair);
}

void TAtlasOffLineMainFM::BuildPanel() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    auto* row = new QHBoxLayout(client);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    MapPanel = new QWidget(client);
    MapPanel->setObjectName(QStringLiteral("MapPanel"));
    MapPanel->setAccessibleName(QStringLiteral("地图"));
    auto* mapLayout = new QVBoxLayout(MapPanel);
    mapLayout->setContentsMargins(0, 0, 0, 0);
    row->addWidget(MapPanel, 1);

    Panel1 = new QFrame(client);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setFixedWidth(SidePanelWidth);
    Panel1->installEventFilter(this);
    row->addWidget(Panel1);
    setCentralWidget(client);

    // The side panel is placed by hand like the designed form; only the
    // bottom buttons follow its height.
    auto label = [this](const char* name, const QString& text, int x, int y, int w) {
        auto* l = new QLabel(text, Panel1);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(x, y, w, 22);
        return l;
    };
    auto field = [this](const char* name, QLabel* caption, int x, int y, int w) {
        auto* e = new QLineEdit(Panel1);
        e->setObjectName(QString::fromLatin1(name));
        e->setReadOnly(true);
        e->setFocusPolicy(Qt::ClickFocus);
        e->setGeometry(x, y, w, 22);
        caption->setBuddy(e);
        e->setAccessibleName(caption->text());
        return e;
    };
    auto zoomList = [this](const char* name, QLabel* caption, int x, int y) {
        auto* c = new TZoomComboBox(Panel1);
        c->setObjectName(QString::fromLatin1(name));
        c->setEditable(false);
        for (int z = MinMapZoom; z <= MaxMapZoom; ++z) c->addItem(QString::number(z));
        c->setCurrentIndex(0);
        c->setFocusPolicy(Qt::ClickFocus);
        c->setGeometry(x, y, 64, 22);
        caption->setBuddy(c);
        c->setAccessibleName(caption->text());
        // The wheel zooms the map, as anywhere else on the window.
        c->installEventFilter(this);
        return c;
    };
    auto iconButton = [this](const char* name, QStyle::StandardPixmap icon, const QString& hint, int x, int y,
                             int size) {
        auto* b = new QToolButton(Panel1);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(style()->standardIcon(icon));
        b->setIconSize(QSize(size * 2 / 3, size * 2 / 3));
        b->setToolTip(hint);
        b->setAccessibleName(hint);
        b->setGeometry(x, y, size, size);
        return b;
    };
    auto typeButton = [this]<typename T>(T*, const char* name, int typeIndex, int y) {
        const std::string_view typeName = MapTypeName(MapTypeAt(std::size_t(typeIndex)));
        auto* b = new T(QString::fromUtf8(typeName.data(), qsizetype(typeName.size())),
                        Panel1);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(typeIndex % 2 == 0 ? 16 : 114, y + (typeIndex / 2) * 22, 98, 22);
        return b;
    };
    auto strip = [this](const char* name, int y) {
        auto* s = new QFrame(Panel1);
        s->setObjectName(QString::fromLatin1(name));
        s->setFrameStyle(QFrame::NoFrame);
        s->setAutoFillBackground(true);
        QPalette pal = s->palette();
        pal.setColor(QPalette::Window, StripColour);
        s->setPalette(pal);
        s->setGeometry(2, y, SidePanelWidth - 4, 15);
        return s;
    };

    Label1 = label("Label1", QStringLiteral("中心位置："), 8, 6, 200);
    Label2 = label("Label2", QStringLiteral("经度："), 16, 28, 48);
    cxMaskEdit1 = field("cxMaskEdit1", Label2, 64, 28, 146);
    Label3 = label("Label3", QStringLiteral("纬度："), 16, 54, 48);
    cxMaskEdit2 = field("cxMaskEdit2", Label3, 64, 54, 146);
    Label4 = label("Label4", QStringLiteral("图象尺寸："), 8, 78, 200);
    cxMaskEdit3 = field("cxMaskEdit3", Label4, 16, 98, 194);
    Label10 = label("Label10", QStringLiteral("当前位置："), 8, 124, 200);
    Label11 = label("Label11", QStringLiteral("经度："), 16, 146, 48);
    cxMaskEdit4 = field("cxMaskEdit4", Label11, 64, 146, 146);
    Label12 = label("Label12", QStringLiteral("纬度："), 16, 172, 48);
    cxMaskEdit5 = field("cxMaskEdit5", Label12, 64, 172, 146);
    Label5 = label("Label5", QStringLiteral("当前放大倍数："), 8, 200, 100);
    cxComboBox1 = zoomList("cxComboBox1", Label5, 110, 200);
    SpeedButton1 = iconButton("SpeedButton1", QStyle::SP_ArrowRight, QStringLiteral("设置放大倍数"), 178, 199, 24);
    SpeedButton1->setAutoRaise(true);
    Label9 = label("Label9", QStringLiteral("查看地图类型："), 8, 226, 200);
    RadioButton1 = typeButton(static_cast<QRadioButton*>(nullptr), "RadioButton1", 0, 246);
    RadioButton2 = typeButton(static_cast<QRadioButton*>(nullptr), "RadioButton2", 1, 246);
    RadioButton3 = typeButton(static_cast<QRadioButton*>(nullptr), "RadioButton3", 2, 246);
    RadioButton4 = typeButton(static_cast<QRadioButton*>(nullptr), "RadioButton4", 3, 246);
    RadioButton1->setChecked(true);
    Panel2 = strip("Panel2", 296);
    Label6 = label("Label6", QStringLiteral("最大放大倍数："), 8, 318, 100);
    cxComboBox2 = zoomList("cxComboBox2", Label6, 110, 318);
    Label7 = label("Label7", QStringLiteral("包含地图类型："), 8, 344, 200);
    CheckBox1 = typeButton(static_cast<QCheckBox*>(nullptr), "CheckBox1", 0, 364);
    CheckBox2 = typeButton(static_cast<QCheckBox*>(nullptr), "CheckBox2", 1, 364);
    CheckBox3 = typeButton(static_cast<QCheckBox*>(nullptr), "CheckBox3", 2, 364);
    CheckBox4 = typeButton(static_cast<QCheckBox*>(nullptr), "CheckBox4", 3, 364);
    Panel3 = strip("Panel3", 414);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("生成手机地图"), Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setIconSize(QSize(24, 24));
    BitBtn1->setGeometry(8, 438, 204, 40);
    SpeedButton2 = iconButton("SpeedButton2", QStyle::SP_MessageBoxQuestion, QStringLiteral("帮助"), 8, 486, 32);
    SpeedButton4 = iconButton("SpeedButton4", QStyle::SP_DialogSaveButton, QStringLiteral("保存地图参数"), 48, 486, 32);
    SpeedButton5 = iconButton("SpeedButton5", QStyle::SP_DialogOpenButton, QStringLiteral("打开地图参数"), 88, 486, 32);

    Label8 = label("Label8", QStringLiteral("已经生成："), 8, 524, 200);
    Label8->hide();
    Gauge1 = new QProgressBar(Panel1);
    Gauge1->setObjectName(QStringLiteral("Gauge1"));
    Gauge1->setAccessibleName(Label8->text());
    Gauge1->setRange(0, 100);
    Gauge1->setValue(50);
    Gauge1->setTextVisible(true);
    Gauge1->setFormat(QStringLiteral("%p%"));
    Gauge1->setAlignment(Qt::AlignCenter);
    Gauge1->setStyleSheet(QStringLiteral("QProgressBar { background-color: red; border: 1px solid gray; }"
                                         "QProgressBar::chunk { background-color: lime; }"));
    Gauge1->setGeometry(8, 544, 170, 20);
    Gauge1->hide();
    SpeedButton3 = iconButton("SpeedButton3", QStyle::SP_DialogCancelButton, QStringLiteral("取消"), 184, 542, 24);
    SpeedButton3->setAutoRaise(true);
    SpeedButton3->hide();
    ProgressLabel = label("ProgressLabel", QString(), 8, 566, 204);
    ProgressLabel->resize(204, 40);
    ProgressLabel->hide();

    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogDetailedView), QStringLiteral("设置"), Panel1);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(8, 600, 100, 30);
    BitBtn3 = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogContentsView), QStringLiteral("查看"), Panel1);
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setGeometry(112, 600, 100, 30);

    // Tab order follows the panel from top to bottom; fields and lists are skipped.
    QWidget* order[] = {SpeedButton1, RadioButton1, RadioButton2, RadioButton3, RadioButton4, CheckBox1,
                        CheckBox2,    CheckBox3,    CheckBox4,    BitBtn1,      SpeedButton2, SpeedButton4,
                        SpeedButton5, SpeedButton3, BitBtn2,      BitBtn3};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    for (QRadioButton* r : {RadioButton1, RadioButton2, RadioButton3, RadioButton4})
        connect(r, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked) RadioButton1Click();
        });
    cxComboBox1->OnCloseUp = [this] { cxComboBox1PropertiesCloseUp(); };
    cxComboBox2->OnCloseUp = [this] { cxComboBox2PropertiesCloseUp(); };
    connect(SpeedButton1, &QToolButton::clicked, this, &TAtlasOffLineMainFM::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TAtlasOffLineMainFM::SpeedButton2Click);
    connect(SpeedButton3, &QToolButton::clicked, this, &TAtlasOffLineMainFM::SpeedButton3Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TAtlasOffLineMainFM::SpeedButton4Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &TAtlasOffLineMainFM::SpeedButton5Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TAtlasOffLineMainFM::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TAtlasOffLineMainFM::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TAtlasOffLineMainFM::BitBtn3Click);
}

void TAtlasOffLineMainFM::FormCreate() {
    FShown = false;
    Reserved.fill(0);
}

void TAtlasOffLineMainFM::FormDestroy() {
    // The view joins its workers before anything they post to is gone.
    View.reset();
    if (CacheSweeper.joinable()) CacheSweeper.join();
}

void TAtlasOffLineMainFM::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (FShown) return;
    FitToWorkArea();
    FormShow();
}

void TAtlasOffLineMainFM::FitToWorkArea() {
    const QScreen* screen = this->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    // The frame is known only once a window manager has decorated the window;
    // moveEvent fits again when it turns up.
    const QSize frame = frameGeometry().size() - size();
    setFixedSize(area.size() - frame);
    move(area.topLeft());
}

void TAtlasOffLineMainFM::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    // A window manager frames the window after show() and places it as it
    // sees fit: until the frame fills the work area the size and place are
    // fitted again, or the bottom of the window (设置 and 查看) ends up behind
    // a taskbar. A manager that will not have it gets a few tries, no fight;
    // once fitted, the user may move the window.
    if (!FShown || WorkAreaFitted || FitAttempts >= 4 || !screen()) return;
    if (frameGeometry() == screen()->availableGeometry()) {
        WorkAreaFitted = true;
        return;
    }
    ++FitAttempts;
    FitToWorkArea();
}

void TAtlasOffLineMainFM::FormShow() {
    if (FShown) return;
    SettingsSet.Load();
    const TAtlasSettings& settings = SettingsSet.Values();
    cxMaskEdit1->setText(RealText(settings.InitialLon));
    cxMaskEdit2->setText(RealText(settings.InitialLat));
    cxMaskEdit3->clear();
    FCenterLon = settings.InitialLon;
    FCenterLat = settings.InitialLat;
    FCurrentZoom = FMaximumZoom = settings.InitialZoom;
    ShowZoom(cxComboBox1, FCurrentZoom);
    ShowZoom(cxComboBox2, FMaximumZoom);
    SetActivePair(settings.Deltas[0]);  // the view starts with the road map

    std::error_code ignored;
    std::filesystem::create_directories(Locations.CacheDir, ignored);
    CacheSweeper = std::jthread([dir = Locations.CacheDir] { RemoveStaleTemporaryFiles(dir); });

    // The view sizes its mosaic to the panel when it is created, so the
    // panel must have its final size first.
    layout()->activate();
    layout()->setGeometry(rect());
    centralWidget()->layout()->activate();
    centralWidget()->layout()->setGeometry(centralWidget()->rect());

    TAtlasSettings viewSettings = settings;
    viewSettings.Server = RunServer();
    View = std::make_unique<TAtlasClass>(this, MapPanel, TMapZoom(settings.InitialZoom), Locations.CacheDir,
                                         ActivePair(), std::move(viewSettings));
    View->setObjectName(QStringLiteral("AtlasClass"));
    MapPanel->layout()->addWidget(View.get());
    View->OnMapGPS = [this](QObject* sender, double lon, double lat, int userData) {
        OnShowGPS(sender, lon, lat, userData);
    };
    View->OnClickGPS = [this](QObject* sender, double lon, double lat) { OnClickGPS(sender, lon, lat); };
    View->installEventFilter(this);
    View->show();

    QCoreApplication::postEvent(this, new QEvent(MessageEventType(WM_PANELLAYOUT)));
    FShown = true;
    // Once the window is on screen; the refused types meanwhile request nothing.
    if (!ServerConfigProblems(RunServer()).empty()) QTimer::singleShot(0, this, &TAtlasOffLineMainFM::ShowSourceProblems);
}

void TAtlasOffLineMainFM::ShowSourceProblems() {
    QString text = QString::fromUtf8("设置文件中的地图来源有误，相关地图类型不会下载：\n");
    for (const TSourceProblem& problem : ServerConfigProblems(RunServer())) text += "\n" + ReasonText(problem);
    ShowMessage(text);
}

TServerConfig TAtlasOffLineMainFM::RunServer() const {
    if (!ServerOverride) return SettingsSet.Values().Server;
    TServerConfig server = *ServerOverride;
    server.MaxAgeDays = SettingsSet.Values().Server.MaxAgeDays;
    return server;
}

bool TAtlasOffLineMainFM::event(QEvent* e) {
    if (e->type() == MessageEventType(WM_PANELLAYOUT)) {
        PlaceBottomButtons();
        return true;
    }
    if (e->type() == MessageEventType(WM_GENTILESAVED)) {
        WMGenTileSaved(static_cast<const TTileNoticeEvent&>(*e).Notice);
        return true;
    }
    if (e->type() == MessageEventType(WM_GENTILEFAILED)) {
        WMGenTileFailed(static_cast<const TTileNoticeEvent&>(*e).Notice);
        return true;
    }
    return QMainWindow::event(e);
}

void TAtlasOffLineMainFM::closeEvent(QCloseEvent* e) {
    if (IsRunActive()) {
        // The run is stopped first; the window closes once its clean-up has run.
        StopGeneration(TRunStatus::Closing);
        e->ignore();
        return;
    }
    QMainWindow::closeEvent(e);
}

bool TAtlasOffLineMainFM::eventFilter(QObject* watched, QEvent* e) {
    if (watched == Panel1 && e->type() == QEvent::Resize) {
        PlaceBottomButtons();
    } else if (e->type() == QEvent::Wheel && !InFormMouseWheel &&
               (watched == cxComboBox1 || watched == cxComboBox2 || (View && watched == View.get()))) {
        // Every wheel on the window, the map included, goes through FormMouseWheel,
        // so cxComboBox1 always follows the view's zoom.
        FormMouseWheel(static_cast<QWheelEvent*>(e));
        return true;
    }
    return QMainWindow::eventFilter(watched, e);
}

void TAtlasOffLineMainFM::PlaceBottomButtons() {
    for (QPushButton* b : {BitBtn2, BitBtn3}) b->move(b->x(), Panel1->height() - b->height() - 1);
}

void TAtlasOffLineMainFM::ShowZoom(QComboBox* combo, int zoom) {
    const int index = combo->findText(QString::number(zoom));
    if (index >= 0) combo->setCurrentIndex(index);
}

void TAtlasOffLineMainFM::wheelEvent(QWheelEvent* e) { FormMouseWheel(e); }

void TAtlasOffLineMainFM::FormMouseWheel(QWheelEvent* e) {
    if (!FShown || !View) return;
    // A synthesized copy is delivered to the view alone (Qt does not propagate it).
    QWheelEvent copy(View->mapFromGlobal(e->globalPosition()), e->globalPosition(), e->pixelDelta(),
                     e->angleDelta(), e->buttons(), e->modifiers(), e->phase(), e->inverted(), e->source());
    InFormMouseWheel = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{InFormMouseWheel};
    QCoreApplication::sendEvent(View.get(), &copy);
    ShowZoom(cxComboBox1, View->MapZoom());
}

void TAtlasOffLineMainFM::OnShowGPS(QObject*, double longitude, double latitude, int) {
    if (!FShown || !View) return;
    cxMaskEdit4->setText(RealText(longitude));
    cxMaskEdit5->setText(RealText(latitude));
    cxMaskEdit3->setText(QStringLiteral("%1 x %2").arg(View->ImgWidth()).arg(View->ImgHeight()));
    ShowZoom(cxComboBox1, View->MapZoom());
}

void TAtlasOffLineMainFM::OnClickGPS(QObject*, double longitude, double latitude) {
    if (!FShown) return;
    FCenterLon = longitude;
    FCenterLat = latitude;
    cxMaskEdit1->setText(RealText(longitude));
    cxMaskEdit2->setText(RealText(latitude));
}

void TAtlasOffLineMainFM::RadioButton1Click() {
    if (!View) return;
    const QRadioButton* buttons[] = {RadioButton1, RadioButton2, RadioButton3, RadioButton4};
    int typeIndex = MapTypeCount - 1;
    for (int i = 0; i < MapTypeCount; ++i)
        if (buttons[i]->isChecked()) {
            typeIndex = i;
            break;
        }
    // Type and calibration pair change together, or the positions shown would mix two maps.
    View->SetMapType(MapTypeAt(std::size_t(typeIndex)));
    SetActivePair(SettingsSet.Values().Deltas[std::size_t(typeIndex)]);
    View->Reload();
}

void TAtlasOffLineMainFM::cxComboBox1PropertiesCloseUp() {
    FCurrentZoom = cxComboBox1->currentText().toInt();
    if (View) View->setFocus();
}

void TAtlasOffLineMainFM::cxComboBox2PropertiesCloseUp() {
    FMaximumZoom = cxComboBox2->currentText().toInt();
    if (View) View->setFocus();
}

void TAtlasOffLineMainFM::SpeedButton1Click() {
    if (!View) return;
    View->ZoomBy(FCurrentZoom - View->MapZoom());
    View->setFocus();
}

void TAtlasOffLineMainFM::SpeedButton2Click() {
    if (Windows.AtlasHelpFM) Windows.AtlasHelpFM->exec();
}

void TAtlasOffLineMainFM::BitBtn2Click() {
    if (!Windows.AtlasSetupFM) return;
    Windows.AtlasSetupFM->FillFields();
    Windows.AtlasSetupFM->exec();
}

void TAtlasOffLineMainFM::BitBtn3Click() {
    if (!Windows.AtlasCheckDataFM) return;
    const auto dialog = MakeFileDialog(OpenDialog1, this);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return;
    Windows.AtlasCheckDataFM->SetFilePath(dialog->selectedFiles().constFirst());
    Windows.AtlasCheckDataFM->exec();
}
