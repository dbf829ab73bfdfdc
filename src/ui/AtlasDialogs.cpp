#include "AtlasDialogs.h"

#include <QScreen>

QFont ProgramFont() {
    QFont font(QStringLiteral("宋体"));
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Serif CJK SC")});
    font.setPixelSize(14);
    return font;
}

void InstallFontSubstitutions() {
    // Without this Qt falls back to the Japanese glyph forms of Noto Sans CJK.
    QFont::insertSubstitution(QStringLiteral("宋体"), QStringLiteral("Noto Serif CJK SC"));
    QFont::insertSubstitution(QStringLiteral("SimSun"), QStringLiteral("Noto Serif CJK SC"));
}

void CenterOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QSize outer = window->frameGeometry().size();
    window->move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void SetUpFixedDialog(QDialog* dialog, const char* name, const QString& caption, QSize clientSize) {
    dialog->setObjectName(QString::fromLatin1(name));
    dialog->setWindowTitle(caption);
    dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog->setFont(ProgramFont());
    dialog->setFixedSize(clientSize);
}

QPushButton* MakeDialogButton(QDialog* dialog, QWidget* parent, const char* name, QStyle::StandardPixmap icon,
                              const QString& text, const QRect& geometry, bool accepts) {
    auto* button = new QPushButton(dialog->style()->standardIcon(icon), text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    QObject::connect(button, &QPushButton::clicked, dialog, accepts ? &QDialog::accept : &QDialog::reject);
    return button;
}

std::unique_ptr<QFileDialog> MakeFileDialog(const TFileDialogParams& params, QWidget* parent) {
    auto dialog = std::make_unique<QFileDialog>(parent, params.Title);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(params.Mode);
    dialog->setFileMode(params.Mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog->setNameFilter(params.Filter);
    dialog->setDefaultSuffix(params.DefaultSuffix);
    // The parameter file's save asks its own question before replacing; a
    // second one from the dialog would only repeat it.
    if (params.Mode == QFileDialog::AcceptSave && !params.ConfirmOverwrite)
        dialog->setOption(QFileDialog::DontConfirmOverwrite);
    return dialog;
}

