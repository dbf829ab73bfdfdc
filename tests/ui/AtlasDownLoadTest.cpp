#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "AtlasDownLoad.h"
#include "UiTestSupport.h"

TEST(AtlasDownLoadFM, ButtonsAndKeysGiveTheirResults) {
    TAtlasDownLoadFM dialog;
    for (QLineEdit* field : {dialog.Edit1, dialog.Edit2, dialog.Edit3, dialog.Edit4}) EXPECT_TRUE(field->isReadOnly());
    const struct {
        const char* Name;
        std::function<void()> Act;
        int Result;
    } cases[] = {
        {"OK button", [&] { QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton); }, QDialog::Accepted},
        {"Cancel button", [&] { QTest::mouseClick(dialog.BitBtn2, Qt::LeftButton); }, QDialog::Rejected},
        {"Enter", [&] { QTest::keyClick(&dialog, Qt::Key_Return); }, QDialog::Accepted},
        {"Escape", [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }, QDialog::Rejected},
        {"close box", [&] { dialog.close(); }, QDialog::Rejected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TModalAnswers answers;
        answers.Then([&](QWidget*) { c.Act(); });
        EXPECT_EQ(dialog.exec(), c.Result);
        EXPECT_EQ(answers.Seen, QStringList{QStringLiteral("地图数据")});
    }
}
