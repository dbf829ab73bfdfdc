// Helpers for the window tests: acting on modal windows that exec() waits
// on, and the errors the application's top-level handler recorded.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

// Runs action on the next modal window other than the one active now, from
// inside the nested event loop that shows it. Gives up (and fails the test)
// if no such window appears within a generous number of polls.
void OnNextModal(std::function<void(QWidget* modal)> action);

// Messages the application's error handler received since the last Take.
QStringList TakeRecordedErrors();
void RecordError(const QString& message);
