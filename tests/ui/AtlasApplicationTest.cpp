#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

#include <stdexcept>

#include "AtlasApplication.h"
#include "UiTestSupport.h"

namespace {

// Throws from its event handler, as a faulty window handler would.
class TThrowingObject : public QObject {
public:
    enum TKind { StdError, Unknown, None };
    TKind Kind = StdError;
    int Handled = 0;

protected:
    bool event(QEvent* e) override {
        if (e->type() != QEvent::User) return QObject::event(e);
        ++Handled;
        if (Kind == StdError) throw std::runtime_error("Unable to write to /x/AtlasPocket.Ini");
        if (Kind == Unknown) throw 42;
        return true;
    }
};

}  // namespace

TEST(AtlasApplication, ErrorEscapingAHandlerIsReportedAndTheProgramGoesOn) {
    TakeRecordedErrors();
    TThrowingObject object;
    QEvent first(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&object, &first));
    EXPECT_EQ(TakeRecordedErrors(), QStringList{QStringLiteral("Unable to write to /x/AtlasPocket.Ini")});

    object.Kind = TThrowingObject::Unknown;
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(TakeRecordedErrors(), QStringList{QStringLiteral("发生未知错误。")});

    // The loop still delivers events after both errors.
    object.Kind = TThrowingObject::None;
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(object.Handled, 3);
    EXPECT_TRUE(TakeRecordedErrors().isEmpty());
}

TEST(AtlasApplication, DefaultReporterShowsTheErrorTextInAMessageBox) {
    TModalAnswers answers;
    answers.Then(ClickOk);
    TAtlasApplication::ShowErrorBox(QStringLiteral("'abc' is not a valid floating point value"));
    EXPECT_EQ(answers.Seen, QStringList{QStringLiteral("'abc' is not a valid floating point value")});
}
