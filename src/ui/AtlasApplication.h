// TAtlasApplication: the program's QApplication. Its notify() is the
// top-level error handler: an exception that escapes an event handler is
// shown in a message box and the program goes on.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>

#include "AtlasDialogs.h"

class TAtlasApplication : public QApplication {
public:
    using TErrorReporter = std::function<void(const QString& message)>;

    TAtlasApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* e) override;

    // Tests replace the message box with a recorder; an empty reporter restores the box.
    void SetErrorReporter(TErrorReporter reporter);
    static void ShowErrorBox(const QString& message);

private:
    void ReportError(const QString& message);
    TErrorReporter ErrorReporter;
};
