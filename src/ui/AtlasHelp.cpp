#include "AtlasHelp.h"

#include <QPalette>
#include <QPushButton>
#include <QStyle>
#include <QTextBrowser>

#include "AtlasApplication.h"

QString TAtlasHelpFM::HelpText() {
    return QStringLiteral(
        "操作说明：\n"
        "\n"
        "1、中心位置\n"
        "    生成的手机地图以中心位置为中心。用鼠标左键拖动地图，使要生成的地点位于地图中央的红色十字下，"
        "然后在地图上单击一下，十字下的经度和纬度就成为中心位置。\n"
        "\n"
        "2、图象尺寸\n"
        "    显示当前地图图象的宽度和高度（像素）。按住鼠标左键拖动图象时，图象会向左、右、上或下扩大，"
        "以显示新露出的地图。\n"
        "\n"
        "3、当前位置\n"
        "    显示鼠标指针下的经度和纬度。显示的坐标与实际位置之间可能存在一定误差，误差可以在“设置”中校正。\n"
        "\n"
        "4、当前放大倍数\n"
        "    显示地图的放大倍数（5 至 17）。转动鼠标滚轮可以以鼠标指针所在位置为中心放大或缩小地图；"
        "在列表中选择放大倍数后，按列表后面的按钮，地图以显示区的中心为中心缩放到所选的放大倍数。"
        "在列表中选择的放大倍数也是生成手机地图的起始放大倍数。\n"
        "\n"
        "5、地图类型\n"
        "    可以查看和处理四种地图：道路交通图、地形地貌图、卫星图象图和卫星道路图。"
        "在“查看地图类型”中选择要显示的地图。\n"
        "\n"
        "6、最大放大倍数\n"
        "    生成的手机地图包含从当前放大倍数到最大放大倍数的每一级地图。最大放大倍数不能小于当前放大倍数。\n"
        "\n"
        "7、包含地图类型\n"
        "    选择生成的手机地图中包含哪几种地图，至少要选择一种。\n"
        "\n"
        "8、生成手机地图\n"
        "    生成的地图数据文件供 Windows Mobile 智能手机上的 AtlasPocket 手机地图程序使用。"
        "地图以中心位置为中心，从当前放大倍数开始，每增加一级放大倍数，地图的范围和图片数量都成倍增加，"
        "直到最大放大倍数。按下按钮后会先显示地图的级数、尺寸和总块数，确认后开始下载地图图片。"
        "下载需要较长时间，进度条显示已经完成的比例，可以按进度条后面的按钮取消下载。"
        "取消不会删除已经下载的图片，再次生成时这些图片不必重新下载。"
        "下载完成后选择文件名保存地图数据文件（*.Dat）。放大倍数较高时，每增加一级图片数量就增加一倍，"
        "下载和保存都需要较长时间。\n"
        "\n"
        "9、帮助\n"
        "    显示本操作说明。\n"
        "\n"
        "10、设置\n"
        "    初始位置：程序启动时地图的中心位置，默认为沈阳市。\n"
        "    误差：地图上显示的坐标与实际位置之间的偏差，四种地图各有一组经度误差和纬度误差。校正方法："
        "在地图上找一个容易辨认的地点，记下程序显示的经度和纬度；用 GPS 设备在该地点测出实际的经度和纬度；"
        "把“实际坐标减显示坐标”的差值（带正负号）填入该地图类型的经度误差和纬度误差栏，"
        "按“写入设置参数”按钮。然后用鼠标在地图上检查该地点显示的坐标是否与实际坐标一致。"
        "输入的数值会经过计算修正原有的误差；不修改数值直接按按钮会把误差设为零；"
        "栏中为空或为 0 时该项误差不变。\n"
        "    自动校准：道路交通图和地形地貌图的坐标带有国家规定的偏移，偏移量随地点变化。"
        "按“按中心自动校准”按钮，程序按当前中心位置算出这一偏移，写入这两种地图的误差，"
        "不必用 GPS 测量；卫星图不受影响。误差只在中心处准确，离中心越远偏差越大，"
        "生成地图前的确认窗口显示整个地图范围内的最大“校准误差”。\n"
        "    初始放大倍数：程序启动时地图的放大倍数。\n"
        "    初始位置和初始放大倍数在程序下次启动时生效。\n"
        "\n"
        "11、查看\n"
        "    打开已经生成的地图数据文件，检查地图的范围、包含的放大倍数和地图类型。\n"
        "\n"
        "12、生成的地图数据文件是手机上使用的离线地图，用于查找道路和了解地理信息。\n"
        "    如有问题，请先阅读程序随附的使用指南（README.md 中的“Using it”一节）。\n");
}

TAtlasHelpFM::TAtlasHelpFM(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    SetUpFixedDialog(this, "AtlasHelpFM", QStringLiteral("操作说明"), QSize(505, 513));

    RichEdit1 = new QTextBrowser(this);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setAccessibleName(QStringLiteral("操作说明"));
    RichEdit1->setGeometry(0, 0, 505, 465);
    RichEdit1->setReadOnly(true);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->setPlainText(HelpText());
    QPalette pal = RichEdit1->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    RichEdit1->setPalette(pal);

    BitBtn1 = MakeDialogButton(this, this, "BitBtn1", QStyle::SP_DialogCloseButton, QStringLiteral("关闭"),
                               QRect(208, 474, 90, 30));
    BitBtn1->setDefault(true);
}

void TAtlasHelpFM::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    CenterOnScreen(this);
}
