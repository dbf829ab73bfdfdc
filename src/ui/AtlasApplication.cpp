#include "AtlasApplication.h"

#include <QMessageBox>
#include <QScreen>

#include <exception>

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

TAtlasApplication::TAtlasApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("AtlasPocket"));
    InstallFontSubstitutions();
    setFont(ProgramFont());
}

bool TAtlasApplication::notify(QObject* receiver, QEvent* e) {
    try {
        return QApplication::notify(receiver, e);
    } catch (const std::exception& error) {
        ReportError(QString::fromUtf8(error.what()));
    } catch (...) {
        ReportError(QStringLiteral("发生未知错误。"));
    }
    return false;
}

void TAtlasApplication::SetErrorReporter(TErrorReporter reporter) { ErrorReporter = std::move(reporter); }

void TAtlasApplication::ShowErrorBox(const QString& message) {
    QMessageBox box(QMessageBox::Critical, applicationName(), message, QMessageBox::Ok,
                    activeWindow());
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}

void TAtlasApplication::ReportError(const QString& message) {
    // A copy: the reporter may run a nested event loop that replaces it.
    const TErrorReporter reporter = ErrorReporter;
    if (reporter)
        reporter(message);
    else
        ShowErrorBox(message);
}
