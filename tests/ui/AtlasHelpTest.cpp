#include <QTextBrowser>

#include <gtest/gtest.h>

#include "AtlasHelp.h"

TEST(AtlasHelpFM, CaptionAndNumberedGuide) {
    TAtlasHelpFM help;
    EXPECT_EQ(help.windowTitle(), QStringLiteral("操作说明"));
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
        ASSERT_GE(found, at) << heading;
        at = found;
    }
    // The last section points to the user guide, not to an address that reaches nobody.
    EXPECT_TRUE(text.mid(at).contains(QStringLiteral("使用指南"))) << text.mid(at).toStdString();
    EXPECT_FALSE(text.contains(QLatin1Char('@')));
}
