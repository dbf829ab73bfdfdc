#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "AtlasDownLoad.h"
#include "UiTestSupport.h"

TEST(AtlasDownLoadFM, CaptionsAndReadOnlyFields) {
    TAtlasDownLoadFM dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("地图数据"));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);

    const struct {
        QLabel* Label;
        QLineEdit* Field;
        const char* Caption;
    } rows[] = {{dialog.Label1, dialog.Edit1, "地图缩放级别："},
                {dialog.Label2, dialog.Edit2, "地图尺寸："},
                {dialog.Label3, dialog.Edit3, "最大地图尺寸："},
                {dialog.Label4, dialog.Edit4, "地图总块数："}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Caption);
        EXPECT_EQ(row.Label->text(), QString::fromUtf8(row.Caption));
        EXPECT_EQ(row.Label->buddy(), row.Field);
        EXPECT_LT(row.Label->geometry().right(), row.Field->x());  // the label is on the left
        EXPECT_TRUE(row.Field->isReadOnly());
        EXPECT_FALSE(row.Field->focusPolicy() & Qt::TabFocus);
    }
    EXPECT_TRUE(dialog.BitBtn1->isDefault());
    EXPECT_FALSE(dialog.BitBtn2->isDefault());
}

TEST(AtlasDownLoadFM, ButtonsAndKeysGiveTheirResults) {
    TAtlasDownLoadFM dialog;
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
        OnNextModal([&](QWidget* modal) {
            EXPECT_EQ(modal, &dialog);
            c.Act();
        });
        EXPECT_EQ(dialog.exec(), c.Result);
    }
}
