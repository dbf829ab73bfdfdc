// What every window of the program shares: the program font, centring, the
// fixed frame and buttons of its dialogs, and Qt's own file dialog set up
// from a window's fixed parameters.
#pragma once

#include <QDialog>
#include <QFileDialog>
#include <QFont>
#include <QPushButton>
#include <QString>
#include <QStyle>

#include <memory>

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

// A file dialog's fixed parameters; the filter is in Qt's syntax.
struct TFileDialogParams {
    QString Title;  // empty: the toolkit's default title
    QString Filter;
    QString DefaultSuffix;
    QFileDialog::AcceptMode Mode = QFileDialog::AcceptOpen;
    bool ConfirmOverwrite = true;  // saving: the dialog asks before replacing a file
};

// Qt's own dialog (not the desktop's) so it behaves the same everywhere.
std::unique_ptr<QFileDialog> MakeFileDialog(const TFileDialogParams& params, QWidget* parent);

