// TAtlasApplication: the program's QApplication. Its notify() is the
// top-level error handler: an exception that escapes an event handler is
// shown in a message box and the program goes on.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QStyle>
#include <QFont>
#include <QString>

#include <functional>

// "宋体" at 14 pixels. No Debian font carries that name, so the family is
// mapped onto the installed Song-style CJK face once per process.
QFont ProgramFont();
void InstallFontSubstitutions();

// Centres a top-level window on the work area of its screen (frame included when known).
void CenterOnScreen(QWidget* window);

// The common frame of the program's dialogs: designer name, caption, a fixed
// client size, only a close box, and the program font.
void SetUpFixedDialog(QDialog* dialog, const char* name, const QString& caption, QSize clientSize);

// A dialog's button with a standard icon that ends the dialog with accept() or reject().
QPushButton* MakeDialogButton(QDialog* dialog, QWidget* parent, const char* name, QStyle::StandardPixmap icon,
                              const QString& text, const QRect& geometry, bool accepts = true);

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
