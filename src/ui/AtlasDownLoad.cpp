#include "AtlasDownLoad.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include "AtlasApplication.h"

namespace {

constexpr int ClientWidth = 320;
constexpr int ClientHeight = 332;

QLineEdit* MakeReadOnlyField(QWidget* parent, const char* name, int top) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::NoFocus);
    edit->setGeometry(136, top, 168, 24);
    return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int top, QLineEdit* buddy) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(8, top, 124, 24);
    label->setBuddy(buddy);
    buddy->setAccessibleName(text);
    return label;
}

}  // namespace

TAtlasDownLoadFM::TAtlasDownLoadFM(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    SetUpFixedDialog(this, "AtlasDownLoadFM", QStringLiteral("地图数据"), QSize(ClientWidth, ClientHeight));

    Edit1 = MakeReadOnlyField(this, "Edit1", 16);
    Edit2 = MakeReadOnlyField(this, "Edit2", 50);
    Edit3 = MakeReadOnlyField(this, "Edit3", 84);
    Edit4 = MakeReadOnlyField(this, "Edit4", 118);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("地图缩放级别："), 16, Edit1);
    Label2 = MakeLabel(this, "Label2", QStringLiteral("地图尺寸："), 50, Edit2);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("最大地图尺寸："), 84, Edit3);
    Label4 = MakeLabel(this, "Label4", QStringLiteral("地图总块数："), 118, Edit4);
    ResidualEdit = MakeReadOnlyField(this, "ResidualEdit", 152);
    SizeEdit = MakeReadOnlyField(this, "SizeEdit", 186);
    ResidualLabel = MakeLabel(this, "ResidualLabel", QStringLiteral("校准误差："), 152, ResidualEdit);
    SizeLabel = MakeLabel(this, "SizeLabel", QStringLiteral("估计文件大小："), 186, SizeEdit);
    FetchEdit = MakeReadOnlyField(this, "FetchEdit", 220);
    FetchLabel = MakeLabel(this, "FetchLabel", QStringLiteral("需下载："), 220, FetchEdit);
    RectifyEdit = MakeReadOnlyField(this, "RectifyEdit", 254);
    RectifyLabel = MakeLabel(this, "RectifyLabel", QStringLiteral("真实坐标校正："), 254, RectifyEdit);

    BitBtn1 = MakeDialogButton(this, this, "BitBtn1", QStyle::SP_DialogOkButton, QStringLiteral("确定"),
                               QRect(64, 290, 90, 30));
    BitBtn1->setDefault(true);
    BitBtn1->setAutoDefault(true);
    BitBtn2 = MakeDialogButton(this, this, "BitBtn2", QStyle::SP_DialogCancelButton, QStringLiteral("取消"),
                               QRect(166, 290, 90, 30), false);
    BitBtn2->setAutoDefault(false);
}

void TAtlasDownLoadFM::FillFields(const QString& levels, const QString& mapSize, const QString& maxMapSize,
                                  const QString& tileTotal) {
    Edit1->setText(levels);
    Edit2->setText(mapSize);
    Edit3->setText(maxMapSize);
    Edit4->setText(tileTotal);
}

void TAtlasDownLoadFM::FillEstimates(const QString& residual, const QString& fileSize) {
    ResidualEdit->setText(residual);
    SizeEdit->setText(fileSize);
}

void TAtlasDownLoadFM::FillFetch(std::int64_t missing, std::int64_t expired) {
    FetchEdit->setText(QStringLiteral("缺少 %1 块，过期 %2 块").arg(missing).arg(expired));
}

void TAtlasDownLoadFM::FillRectify(const QString& state) { RectifyEdit->setText(state); }

void TAtlasDownLoadFM::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    CenterOnScreen(this);
    BitBtn1->setFocus();
}
