// The map data viewer on files built here: opening and its refusals, the type
// and zoom choices, drags with real mouse events on the image, and the pixels
// drawn. The tile-window geometry is also checked on its own, without pixels.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "AtlasCheckData.h"
#include "MapDataFile.h"
#include "NumberFormat.h"
#include "TileCache.h"
#include "ViewerState.h"

namespace fs = std::filesystem;

namespace {

constexpr double CentreLon = 123.4259;
constexpr double CentreLat = 41.8123;
constexpr TDeltaPair RoadPair{0.0059448, 0.0026895};
constexpr TDeltaPair SatellitePair{0.01, -0.01};  // far from the road pair, so placement shows

// Answers the next modal message box with OK and keeps its text.
class TMessageCatcher {
public:
    TMessageCatcher() {
        Timer.setInterval(0);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            Text = box->text();
            Timer.stop();
            box->accept();
        });
        Timer.start();
    }
    std::optional<QString> Text;

private:
    QTimer Timer;
};

QColor TileColour(char type, int zoom, int x, int y) {
    return QColor::fromHsv((x * 47 + y * 101 + zoom * 13 + type * 7) % 360, 200, 230);
}

// A tile of one colour with a dark block in its top-left corner, so that a
// tile drawn shifted or flipped is caught.
QImage TilePicture(QColor colour) {
    QImage image(TileSize, TileSize, QImage::Format_RGB32);
    image.fill(colour);
    QPainter(&image).fillRect(0, 0, 32, 32, Qt::black);
    return image;
}

std::string Encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 95);
    return bytes.toStdString();
}

bool Near(QColor a, QColor b, int tolerance = 16) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

struct TTileSpec {
    char Type;
    int Zoom;
    int X;
    int Y;
    std::optional<std::string> Body;  // raw image bytes instead of the coloured tile
};

TMapDataHeader MakeHeader(int minZoom, int maxZoom, std::string types, int halfSpan) {
    TMapDataHeader h;
    h.MinZoom = minZoom;
    h.MaxZoom = maxZoom;
    for (char c : types) h.TypeIncluded[size_t(MapTypeIndex(c))] = 1;
    h.CenterLon = CentreLon;
    h.CenterLat = CentreLat;
    h.Deltas = {RoadPair, RoadPair, SatellitePair, SatellitePair};
    for (int z = minZoom; z <= maxZoom; ++z) {
        const TGlobalPixel p = LonLatToPixel(z, CentreLon, CentreLat, RoadPair);
        h.TileRects[size_t(z)] = {p.X / TileSize - halfSpan, p.Y / TileSize - halfSpan, p.X / TileSize + halfSpan,
                                  p.Y / TileSize + halfSpan};
    }
    return h;
}

std::vector<TTileSpec> AllTiles(const TMapDataHeader& h) {
    std::vector<TTileSpec> tiles;
    for (int t = 0; t < MapTypeCount; ++t) {
        if (!h.TypeIncluded[size_t(t)]) continue;
        for (int z = h.MinZoom; z <= h.MaxZoom; ++z) {
            const TTileRect& r = h.TileRects[size_t(z)];
            for (int x = r.Left; x <= r.Right; ++x)
                for (int y = r.Top; y <= r.Bottom; ++y) tiles.push_back({MapTypes[size_t(t)].Code, z, x, y, {}});
        }
    }
    return tiles;
}

// Lays the file out byte by byte, in the index order the writer uses.
void WriteDat(const fs::path& path, TMapDataHeader h, const std::vector<TTileSpec>& tiles) {
    h.EntryCount = std::int32_t(tiles.size());
    std::vector<std::string> bodies;
    for (const TTileSpec& t : tiles)
        bodies.push_back(t.Body ? *t.Body : Encode(TilePicture(TileColour(t.Type, t.Zoom, t.X, t.Y)), "JPG"));
    std::string out(MapDataSignature);
    const auto header = EncodeMapDataHeader(h);
    out.append(reinterpret_cast<const char*>(header.data()), header.size());
    std::int64_t offset = MapDataIndexStart + MapDataEntrySize * std::int64_t(tiles.size());
    for (size_t i = 0; i < tiles.size(); ++i) {
        std::uint8_t entry[MapDataEntrySize];
        EncodeMapDataEntry(TileKey(tiles[i].Type, tiles[i].Zoom, tiles[i].X, tiles[i].Y), std::int32_t(offset), entry);
        out.append(reinterpret_cast<const char*>(entry), sizeof entry);
        offset += std::int64_t(bodies[i].size());
    }
    for (const std::string& b : bodies) out += b;
    std::ofstream(path, std::ios::binary) << out;
}

class AtlasCheckDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("atlas_viewer_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override {
        Form.done(QDialog::Rejected);
        fs::remove_all(Dir);
    }

    // Opens a file the way the main window does: set the path, show.
    void Open(const fs::path& path) {
        Form.SetFilePath(QString::fromStdString(path.string()));
        Form.show();
    }
    fs::path StandardFile(const std::string& types = "ms", int halfSpan = 3) {
        const fs::path path = Dir / "standard.Dat";
        const TMapDataHeader h = MakeHeader(12, 14, types, halfSpan);
        WriteDat(path, h, AllTiles(h));
        return path;
    }

    // Pointer positions are given in panel coordinates and sent to the image
    // where it is at that moment, as a real pointer would be.
    void Press(QPoint panel) { QTest::mousePress(Form.Map, Qt::LeftButton, {}, panel - Form.Map->pos()); }
    void MoveTo(QPoint panel) { QTest::mouseMove(Form.Map, panel - Form.Map->pos()); }
    void Release(QPoint panel) { QTest::mouseRelease(Form.Map, Qt::LeftButton, {}, panel - Form.Map->pos()); }

    QColor ImagePixel(std::int64_t globalX, std::int64_t globalY) const {
        const TViewerState& s = Form.State();
        return Form.Map->Picture().pixelColor(int(globalX - s.ViewLeft * TileSize), int(globalY - s.ViewTop * TileSize));
    }
    TGlobalPixel Centre() const { return Form.State().CentrePixel(); }

    fs::path Dir;
    TAtlasCheckDataFM Form;
};

TEST_F(AtlasCheckDataTest, OpensAtTheFirstZoomCentredOnTheFileCentre) {
    Open(StandardFile());
    ASSERT_TRUE(Form.FileOpen());
    ASSERT_EQ(Form.ComboBox1->count(), 3);
    EXPECT_EQ(Form.ComboBox1->itemText(0), "12");
    EXPECT_EQ(Form.ComboBox1->itemText(2), "14");
    EXPECT_EQ(Form.ComboBox1->currentText(), "12");
    EXPECT_EQ(Form.Edit2->text().toStdString(), FormatReal(CentreLon));
    EXPECT_EQ(Form.Edit3->text().toStdString(), FormatReal(CentreLat));
    EXPECT_EQ(Form.State().ViewZoom, 12);
    EXPECT_EQ(Centre(), LonLatToPixel(12, CentreLon, CentreLat, RoadPair));
    EXPECT_EQ(Form.Map->pos(), QPoint(int(Form.State().ImageLeft), int(Form.State().ImageTop)));
    EXPECT_EQ(Form.Map->size(), QSize(int(Form.State().ImageWidth()), int(Form.State().ImageHeight())));
    // The image covers the panel.
    EXPECT_LE(Form.Map->x(), 0);
    EXPECT_GE(Form.Map->x() + Form.Map->width(), Form.Panel2->width());
    EXPECT_GE(Form.Map->y() + Form.Map->height(), Form.Panel2->height());
    EXPECT_EQ(Form.ViewType(), 'm');
    EXPECT_TRUE(Form.RadioButton1->isChecked());
    const bool included[] = {true, false, true, false};
    QCheckBox* checks[] = {Form.CheckBox1, Form.CheckBox2, Form.CheckBox3, Form.CheckBox4};
    QRadioButton* radios[] = {Form.RadioButton1, Form.RadioButton2, Form.RadioButton3, Form.RadioButton4};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(checks[i]->isChecked(), included[i]) << i;
        EXPECT_FALSE(checks[i]->isEnabled()) << i;
        EXPECT_EQ(radios[i]->isEnabled(), included[i]) << i;
    }
    EXPECT_EQ(Form.windowTitle(), "查看地图数据");
    EXPECT_EQ(Form.size(), QSize(680, 552));
    EXPECT_EQ(Form.CenterImg->geometry(), QRect(224, 266, 20, 20));
}

TEST_F(AtlasCheckDataTest, ShownTypeFollowsWhatTheFileHolds) {
    struct TRow {
        const char* Types;
        int Radio;  // 0-based
        char Type;
        bool Enabled;
    };
    const TRow rows[] = {{"y", 3, 'y', true}, {"", 3, 'y', false}, {"py", 1, 'p', true}, {"sy", 2, 's', true}};
    for (const TRow& row : rows) {
        const fs::path path = Dir / (std::string("t_") + row.Types + ".Dat");
        const TMapDataHeader h = MakeHeader(13, 13, row.Types, 1);
        WriteDat(path, h, AllTiles(h));
        Open(path);
        ASSERT_TRUE(Form.FileOpen()) << row.Types;
        QRadioButton* radios[] = {Form.RadioButton1, Form.RadioButton2, Form.RadioButton3, Form.RadioButton4};
        EXPECT_TRUE(radios[row.Radio]->isChecked()) << row.Types;
        EXPECT_EQ(radios[row.Radio]->isEnabled(), row.Enabled) << row.Types;
        EXPECT_EQ(Form.ViewType(), row.Type) << row.Types;
        QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
        EXPECT_FALSE(Form.FileOpen());
        EXPECT_FALSE(Form.isVisible());
    }
}

// A file written by the program's own writer from cached PNG tiles shows
// every tile in its square; a tile missing from the cache stays empty.
TEST_F(AtlasCheckDataTest, PixelsMatchTheTilesWritten) {
    const fs::path cache = Dir / "FileMap";
    fs::create_directories(cache);
    TMapDataHeader h = MakeHeader(12, 12, "m", 2);
    const TTileRect r = h.TileRects[12];
    std::array<std::vector<TMapTile>, MapTypeCount> lists;
    const int missingX = r.Left + 3, missingY = r.Top + 2;
    for (int x = r.Left; x <= r.Right; ++x)
        for (int y = r.Top; y <= r.Bottom; ++y) {
            lists[0].push_back({'m', false, 12, x, y});
            if (x == missingX && y == missingY) continue;
            TilePicture(TileColour('m', 12, x, y)).save(QString::fromStdString((cache / TileFileName("m", 12, x, y)).string()), "PNG");
        }
    h.EntryCount = std::int32_t(lists[0].size());
    const fs::path path = Dir / "written.Dat";
    WriteMapData(path.string(), h, lists, cache.string() + "/");

    Open(path);
    ASSERT_TRUE(Form.FileOpen());
    const TViewerState& s = Form.State();
    int checked = 0;
    for (std::int64_t x = s.ViewLeft; x <= s.ViewRight; ++x)
        for (std::int64_t y = s.ViewTop; y <= s.ViewBottom; ++y) {
            const std::int64_t gx = x * TileSize, gy = y * TileSize;
            if (x == missingX && y == missingY) {
                EXPECT_EQ(ImagePixel(gx + 128, gy + 128), TAtlasCheckDataFM::EmptySquareColor());
                continue;
            }
            const QColor want = TileColour('m', 12, int(x), int(y));
            EXPECT_TRUE(Near(ImagePixel(gx + 128, gy + 128), want)) << x << "," << y;
            EXPECT_TRUE(Near(ImagePixel(gx + 250, gy + 250), want)) << x << "," << y;
            EXPECT_TRUE(Near(ImagePixel(gx + 8, gy + 8), Qt::black)) << x << "," << y;
            ++checked;
        }
    EXPECT_GE(checked, 4);
}

// An image that does not decode leaves its square empty and the rest drawn.
TEST_F(AtlasCheckDataTest, UndecodableTileIsSkipped) {
    const TMapDataHeader h = MakeHeader(12, 12, "m", 2);
    auto tiles = AllTiles(h);
    const TGlobalPixel c = LonLatToPixel(12, CentreLon, CentreLat, RoadPair);
    for (TTileSpec& t : tiles)
        if (t.X == c.X / TileSize && t.Y == c.Y / TileSize) t.Body = std::string("\xFF\xD8\xFF\xE0") + " not a picture";
    WriteDat(Dir / "bad.Dat", h, tiles);
    Open(Dir / "bad.Dat");
    ASSERT_TRUE(Form.FileOpen());
    const std::int64_t cx = c.X / TileSize * TileSize, cy = c.Y / TileSize * TileSize;
    EXPECT_EQ(ImagePixel(cx + 128, cy + 128), TAtlasCheckDataFM::EmptySquareColor());
    EXPECT_TRUE(Near(ImagePixel(cx + TileSize + 128, cy + 128), TileColour('m', 12, c.X / TileSize + 1, c.Y / TileSize)));
}

TEST_F(AtlasCheckDataTest, DragThatWouldUncoverThePanelAtTheExtentEdgeIsRefused) {
    TMapDataHeader h = MakeHeader(12, 12, "m", 3);
    const TGlobalPixel c = LonLatToPixel(12, CentreLon, CentreLat, RoadPair);
    h.TileRects[12].Left = c.X / TileSize;  // the centre's column is the extent's first
    WriteDat(Dir / "edge.Dat", h, AllTiles(h));
    Open(Dir / "edge.Dat");
    ASSERT_TRUE(Form.FileOpen());
    const TViewerState& s = Form.State();
    ASSERT_EQ(s.ViewLeft, h.TileRects[12].Left);
    const int left0 = Form.Map->x();
    ASSERT_LE(left0, 0);
    const QString lon0 = Form.Edit2->text();

    // Away from the edge first: always possible while the extent goes on.
    Press(QPoint(300, 300));
    MoveTo(QPoint(270, 300));
    Release(QPoint(270, 300));
    ASSERT_EQ(Form.Map->x(), left0 - 30);
    EXPECT_NE(Form.Edit2->text(), lon0);

    Press(QPoint(300, 300));
    MoveTo(QPoint(340, 300));  // would leave a 10-pixel gap at the left
    EXPECT_EQ(Form.Map->x(), left0 - 30);
    EXPECT_EQ(s.ViewLeft, h.TileRects[12].Left);
    MoveTo(QPoint(330 - left0, 300));  // the same step, but only to the edge
    EXPECT_EQ(Form.Map->x(), 0);
    Release(QPoint(330 - left0, 300));
}

TEST_F(AtlasCheckDataTest, LongDragAddsColumnsButNeverPassesTheExtent) {
    Open(StandardFile("m", 6));
    const TViewerState& s = Form.State();
    const TTileRect extent = s.Extent;
    const TGlobalPixel before = Centre();
    Press(QPoint(400, 300));
    MoveTo(QPoint(-200, 300));  // 600 pixels in one step
    EXPECT_EQ(Centre().X, before.X + 600);
    EXPECT_EQ(Centre().Y, before.Y);
    EXPECT_LE(s.ViewRight, extent.Right);
    EXPECT_LE(Form.Map->x(), 0);
    EXPECT_GE(Form.Map->x() + Form.Map->width(), Form.Panel2->width());
    EXPECT_EQ(Form.Map->width(), s.ImageWidth());
    // The tile now under the marker is drawn.
    EXPECT_TRUE(Near(ImagePixel(Centre().X / TileSize * TileSize + 128, Centre().Y / TileSize * TileSize + 128),
                     TileColour('m', 12, Centre().X / TileSize, Centre().Y / TileSize)));
    Release(QPoint(-200, 300));

    // Far past the extent's last column: the window stops there and its right
    // edge meets the panel's.
    Press(QPoint(400, 300));
    MoveTo(QPoint(-4000, 300));
    EXPECT_EQ(s.ViewRight, extent.Right);
    EXPECT_EQ(Form.Map->x() + Form.Map->width(), Form.Panel2->width());
    EXPECT_LE(s.Columns(), 4);  // columns that left the panel were dropped
    Release(QPoint(-4000, 300));
}

// The pressed point stays under the pointer also when the window grows on
// the dragged-away side in the middle of a drag.
TEST_F(AtlasCheckDataTest, DragFollowsThePointerAcrossTileBoundaries) {
    Open(StandardFile("m", 6));
    QPoint p(100, 100);
    Press(p);
    for (int step = 0; step < 8; ++step) {
        const TGlobalPixel before = Centre();
        p += QPoint(70, 45);
        MoveTo(p);
        EXPECT_EQ(Centre().X, before.X - 70) << step;
        EXPECT_EQ(Centre().Y, before.Y - 45) << step;
    }
    Release(p);
    const TLonLat shown = PixelToLonLat(12, Centre().X, Centre().Y, RoadPair);
    EXPECT_EQ(Form.Edit2->text().toStdString(), FormatReal(shown.Lon));
    EXPECT_EQ(Form.Edit3->text().toStdString(), FormatReal(shown.Lat));
}

TEST_F(AtlasCheckDataTest, OtherButtonsAndModifiersDoNotDrag) {
    Open(StandardFile("m", 6));
    const QPoint pos = Form.Map->pos();
    QTest::mousePress(Form.Map, Qt::RightButton, {}, QPoint(300, 300) - pos);
    QTest::mouseMove(Form.Map, QPoint(250, 250) - pos);
    QTest::mouseRelease(Form.Map, Qt::RightButton, {}, QPoint(250, 250) - pos);
    EXPECT_EQ(Form.Map->pos(), pos);
    QTest::mousePress(Form.Map, Qt::LeftButton, Qt::ShiftModifier, QPoint(300, 300) - pos);
    QMouseEvent move(QEvent::MouseMove, QPointF(QPoint(250, 250) - pos), Form.Map->mapToGlobal(QPointF(QPoint(250, 250) - pos)),
                     Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(Form.Map, &move);
    QTest::mouseRelease(Form.Map, Qt::LeftButton, Qt::ShiftModifier, QPoint(250, 250) - pos);
    EXPECT_EQ(Form.Map->pos(), pos);
}

TEST_F(AtlasCheckDataTest, ZoomChangeKeepsThePointUnderTheMarker) {
    Open(StandardFile("m", 3));
    Press(QPoint(300, 300));
    MoveTo(QPoint(260, 330));
    Release(QPoint(260, 330));
    const QString lon = Form.Edit2->text(), lat = Form.Edit3->text();
    const TLonLat marked = Form.State().CentrePosition();

    Form.ComboBox1->setFocus();
    QTest::keyClick(Form.ComboBox1, Qt::Key_Down);
    ASSERT_EQ(Form.ComboBox1->currentText(), "13");
    EXPECT_EQ(Form.State().ViewZoom, 13);
    EXPECT_EQ(Centre(), LonLatToPixel(13, marked.Lon, marked.Lat, RoadPair));
    EXPECT_EQ(Form.Edit2->text(), lon);
    EXPECT_EQ(Form.Edit3->text(), lat);
    const TGlobalPixel c = Centre();
    EXPECT_TRUE(Near(ImagePixel(c.X / TileSize * TileSize + 128, c.Y / TileSize * TileSize + 128),
                     TileColour('m', 13, c.X / TileSize, c.Y / TileSize)));
}

TEST_F(AtlasCheckDataTest, TypeSwitchKeepsZoomAndCentre) {
    Open(StandardFile("ms", 3));
    Form.ComboBox1->setFocus();
    QTest::keyClick(Form.ComboBox1, Qt::Key_Down);
    Press(QPoint(300, 300));
    MoveTo(QPoint(320, 290));
    Release(QPoint(320, 290));
    const TLonLat centre = Form.State().CentrePosition();
    const QString lon = Form.Edit2->text();

    QTest::mouseClick(Form.RadioButton3, Qt::LeftButton, {}, QPoint(8, Form.RadioButton3->height() / 2));
    ASSERT_TRUE(Form.RadioButton3->isChecked());
    EXPECT_EQ(Form.ViewType(), 's');
    EXPECT_EQ(Form.State().ViewZoom, 13);
    EXPECT_EQ(Form.Edit2->text(), lon);
    EXPECT_EQ(Centre(), LonLatToPixel(13, centre.Lon, centre.Lat, SatellitePair));
    const TGlobalPixel c = Centre();
    EXPECT_TRUE(Near(ImagePixel(c.X / TileSize * TileSize + 128, c.Y / TileSize * TileSize + 128),
                     TileColour('s', 13, c.X / TileSize, c.Y / TileSize)));
}

TEST_F(AtlasCheckDataTest, BadFilesAreReportedAndLeaveTheListAlone) {
    const fs::path good = StandardFile();
    Open(good);
    ASSERT_TRUE(Form.FileOpen());
    Form.done(QDialog::Accepted);

    std::string bytes;
    {
        std::ifstream in(good, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto write = [&](const char* name, const std::string& content) {
        std::ofstream(Dir / name, std::ios::binary) << content;
        return Dir / name;
    };
    const std::string foreign = "文件不是本程序生成的地图数据文件。";
    const std::pair<fs::path, std::string> rows[] = {
        {Dir / "absent.Dat", "文件不存在。"},
        {write("other.Dat", "ATLAS_POCKET_DAT!" + bytes.substr(17)), foreign},
        {write("short.Dat", "ATLAS_POC"), foreign},
        {write("cut_index.Dat", bytes.substr(0, 409 + 32 * 10)), foreign},
        {write("cut_header.Dat", bytes.substr(0, 100)), foreign},
    };
    for (const auto& [path, message] : rows) {
        TMessageCatcher catcher;
        Open(path);
        ASSERT_TRUE(catcher.Text) << path;
        EXPECT_EQ(catcher.Text->toStdString(), message) << path;
        EXPECT_FALSE(Form.FileOpen());
        EXPECT_EQ(Form.ComboBox1->count(), 3);  // not refilled
        // Without a file, the controls are inert.
        const QPoint pos = Form.Map->pos();
        Press(QPoint(300, 300));
        MoveTo(QPoint(200, 200));
        Release(QPoint(200, 200));
        EXPECT_EQ(Form.Map->pos(), pos);
        QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
    }
    // The reused window opens a good file again.
    Open(good);
    EXPECT_TRUE(Form.FileOpen());
}

TEST(ViewerState, CentreLeftOfTheExtentStartsAtItsFirstColumn) {
    TViewerState s;
    s.Pair = RoadPair;
    s.ViewZoom = 12;
    const TGlobalPixel c = LonLatToPixel(12, CentreLon, CentreLat, RoadPair);
    const int cx = c.X / TileSize, cy = c.Y / TileSize;
    s.Extent = {cx + 5, cy - 1, cx + 20, cy + 20};  // centre left of and inside the rows
    s.CentreOn(12, CentreLon, CentreLat);
    EXPECT_EQ(s.ViewLeft, cx + 5);
    EXPECT_EQ(s.ViewRight, cx + 6);  // two columns already cover the panel
    EXPECT_EQ(s.ImageLeft, 0);
    EXPECT_GE(s.ImageHeight() + s.ImageTop, s.PanelHeight);

    s.Extent = {cx - 20, cy + 5, cx + 20, cy + 20};  // centre above the extent
    s.CentreOn(12, CentreLon, CentreLat);
    EXPECT_EQ(s.ViewTop, cy + 5);
    EXPECT_EQ(s.ViewBottom, cy + 7);  // two rows, then one more for the 552-pixel panel
    EXPECT_EQ(s.ImageTop, 0);
}

TEST(ViewerState, SmallExtentsAndDamagedRectanglesStayBounded) {
    const TTileRect rects[] = {
        {100, 200, 100, 200},  // a single tile
        {2147483640, 2147483640, 2147483647, 2147483647},
        {-2147483647 - 1, -2147483647 - 1, -2147483600, -2147483600},
        {50, 50, 10, 10},  // left beyond right
    };
    for (const TTileRect& r : rects) {
        TViewerState s;
        s.ViewZoom = 12;
        s.Extent = r;
        s.CentreOn(12, CentreLon, CentreLat);
        EXPECT_LE(s.Columns(), 4);
        EXPECT_LE(s.Rows(), 4);
        s.MouseDown(100, 100);
        s.MouseMove(-100000, 100000);
        s.MouseMove(100000, -100000);
        EXPECT_LE(s.Columns(), 4);
        EXPECT_LE(s.Rows(), 4);
        EXPECT_GE(s.Columns(), 1);
        EXPECT_GE(s.Rows(), 1);
    }
}

}  // namespace
