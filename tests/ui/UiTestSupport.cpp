#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <gtest/gtest.h>

namespace {
QStringList Errors;
TModalAnswers* Current = nullptr;
}  // namespace

TModalAnswers::TModalAnswers() : Outer(Current) {
    Current = this;
    QObject::connect(&Poll, &QTimer::timeout, &Poll, [this] {
        if (Current == this) Check();
    });
    Poll.start(10);
}

TModalAnswers::~TModalAnswers() {
    Current = Outer;
    if (Next < Steps.size()) ADD_FAILURE() << "a scripted window never appeared; seen: " << Seen.join(" | ").toStdString();
}

TModalAnswers& TModalAnswers::Then(TStep step) {
    Steps.push_back(std::move(step));
    return *this;
}

void TModalAnswers::Check() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) {
        Last = nullptr;
        return;
    }
    if (modal == Last.data()) return;
    Last = modal;
    if (auto* box = qobject_cast<QMessageBox*>(modal))
        Seen << box->text();
    else if (qobject_cast<QFileDialog*>(modal))
        Seen << QStringLiteral("file");
    else
        Seen << modal->windowTitle();
    if (Next < Steps.size())
        Steps[Next++](modal);
    else if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
}

void ClickOk(QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    QAbstractButton* ok = box ? box->button(QMessageBox::Ok) : nullptr;
    if (ok) return ok->click();
    ADD_FAILURE() << "not a message box with an OK button";
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
}

void AcceptFileName(QFileDialog* dialog, const QString& path) {
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!name) {
        ADD_FAILURE() << "file dialog without a name field";
        return dialog->reject();
    }
    name->setText(path);
    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
}

QStringList TakeRecordedErrors() {
    QStringList taken;
    taken.swap(Errors);
    return taken;
}

void RecordError(const QString& message) { Errors.append(message); }
