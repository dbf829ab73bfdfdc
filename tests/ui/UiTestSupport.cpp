#include "UiTestSupport.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

namespace {
QStringList Errors;
constexpr int PollMs = 10;
constexpr int MaxPolls = 1000;  // a guard against a hang, not a time limit
}  // namespace

void OnNextModal(std::function<void(QWidget* modal)> action) {
    auto* timer = new QTimer;
    const QPointer<QWidget> before = QApplication::activeModalWidget();
    auto polls = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, before, polls, action = std::move(action)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != before.data() && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (++*polls > MaxPolls) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window appeared";
        }
    });
    timer->start(PollMs);
}

QStringList TakeRecordedErrors() {
    QStringList taken;
    taken.swap(Errors);
    return taken;
}

void RecordError(const QString& message) { Errors.append(message); }
