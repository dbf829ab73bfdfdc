// Helpers for the window tests: answering the modal windows that exec() waits
// on, and the errors the application's top-level handler recorded.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

// Answers the modal windows that appear while it lives, in order, from inside
// their own event loops, and records each one in Seen: a message box by its
// text, a file dialog as "file", any other window by its title. A window
// beyond the script is recorded and rejected, so that an unexpected window
// fails the test instead of hanging it; a scripted step that never ran fails
// it too. Only the newest instance acts, so a test can answer runs in turn.
class TModalAnswers {
public:
    using TStep = std::function<void(QWidget* modal)>;
    TModalAnswers();
    ~TModalAnswers();
    TModalAnswers& Then(TStep step);
    QStringList Seen;

private:
    void Check();
    TModalAnswers* Outer;
    QTimer Poll;
    QPointer<QWidget> Last;
    std::vector<TStep> Steps;
    std::size_t Next = 0;
};

void ClickOk(QWidget* modal);  // clicks a message box's OK button

class QFileDialog;
// Types path into a file dialog's name field and accepts it. QFileDialog's
// selectFile leaves a field that already has the focus alone, which a busy
// machine may have given it, so the name is typed.
void AcceptFileName(QFileDialog* dialog, const QString& path);

// Messages the application's error handler received since the last Take.
QStringList TakeRecordedErrors();
void RecordError(const QString& message);
