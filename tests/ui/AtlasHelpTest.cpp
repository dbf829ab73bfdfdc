#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include "AtlasHelp.h"
#include "UiTestSupport.h"

TEST(AtlasHelpFM, LayoutAndGuideText) {
    TAtlasHelpFM help;
    EXPECT_EQ(help.windowTitle(), QStringLiteral("操作说明"));
    EXPECT_EQ(help.size(), QSize(505, 513));
    EXPECT_TRUE(help.RichEdit1->isReadOnly());

    const QString text = help.RichEdit1->toPlainText();
    EXPECT_TRUE(text.startsWith(QStringLiteral("操作说明：")));
    // Twelve numbered sections, in order.
    const char* headings[] = {"1、中心位置", "2、图象尺寸", "3、当前位置", "4、当前放大倍数",
                              "5、地图类型", "6、最大放大倍数", "7、包含地图类型", "8、生成手机地图",
                              "9、帮助",     "10、设置",       "11、查看",         "12、"};
    qsizetype at = 0;
    for (const char* heading : headings) {
        const qsizetype found = text.indexOf(QString::fromUtf8(heading), at);
        EXPECT_GE(found, at) << heading;
        if (found >= 0) at = found;
    }
    // The calibration procedure names the button it ends with.
    EXPECT_TRUE(text.contains(QStringLiteral("写入设置参数")));
}

TEST(AtlasHelpFM, CloseButtonAndEscapeEndTheModalShowing) {
    TAtlasHelpFM help;
    OnNextModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &help);
        QTest::mouseClick(help.BitBtn1, Qt::LeftButton);
    });
    help.exec();
    EXPECT_FALSE(help.isVisible());

    OnNextModal([&](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
    help.exec();
    EXPECT_FALSE(help.isVisible());
}
