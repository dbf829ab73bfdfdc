#include "AtlasApplication.h"
#include "ReasonText.h"

#include <QMessageBox>

#include <exception>

TAtlasApplication::TAtlasApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("AtlasPocket"));
    InstallFontSubstitutions();
    setFont(ProgramFont());
}

bool TAtlasApplication::notify(QObject* receiver, QEvent* e) {
    try {
        return QApplication::notify(receiver, e);
    } catch (const std::exception& error) {
        ReportError(ErrorText(error));
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
