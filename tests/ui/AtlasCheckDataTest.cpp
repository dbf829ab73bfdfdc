// The map data viewer on files laid out here: opening and its refusals, the
// type and zoom choices, drags with real mouse events on the image, and the
// pixels drawn.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "AtlasCheckData.h"
#include "MapDataFile.h"
#include "NumberFormat.h"
#include "TempDir.h"
#include "UiTestSupport.h"
#include "ViewerState.h"

namespace fs = std::filesystem;

namespace {

constexpr double CentreLon = 123.4259;
constexpr double CentreLat = 41.8123;
constexpr TDeltaPair RoadPair{0.0059448, 0.0026895};
constexpr TDeltaPair SatellitePair{0.01, -0.01};  // far from the road pair, so placement shows

QColor TileColour(TMapType type, int zoom, std::int64_t x, std::int64_t y) {
    return QColor::fromHsv(int((x * 47 + y * 101 + zoom * 13 + MapTypeCode(type)[0] * 7) % 360), 200, 230);
}

// A tile of one colour with a dark block in its top-left corner, so that a
// tile drawn shifted or flipped is caught.
std::string TileJpeg(QColor colour) {
    QImage image(TileSize, TileSize, QImage::Format_RGB32);
    image.fill(colour);
    QPainter(&image).fillRect(0, 0, 32, 32, Qt::black);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 95);
    return buffer.data().toStdString();
}

bool Near(QColor a, QColor b, int tolerance = 16) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// A header centred on the file centre with a square of tiles per zoom.
TMapDataHeader MakeHeader(int minZoom, int maxZoom, std::string types, int halfSpan) {
    TMapDataHeader h;
    h.MinZoom = minZoom;
    h.MaxZoom = maxZoom;
    for (char c : types) h.TypeIncluded[MapTypeIndex(*ParseMapType(c))] = 1;
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

// Lays the file out byte by byte, in the writer's index order, with every
// tile of the header; bodies replaces the image of the tiles it names.
void WriteDat(const fs::path& path, TMapDataHeader h, const std::map<std::string, std::string>& bodies = {}) {
    std::vector<std::pair<std::string, std::string>> tiles;  // key, image
    for (int t = 0; t < MapTypeCount; ++t)
        for (int z = h.MinZoom; h.TypeIncluded[size_t(t)] && z <= h.MaxZoom; ++z) {
            const TTileRect& r = h.TileRects[size_t(z)];
            const TMapType type = MapTypeAt(size_t(t));
            for (int x = r.Left; x <= r.Right; ++x)
                for (int y = r.Top; y <= r.Bottom; ++y) {
                    const std::string key = TileKey({type, z, x, y});
                    tiles.emplace_back(key, bodies.count(key) ? bodies.at(key) : TileJpeg(TileColour(type, z, x, y)));
                }
        }
    h.EntryCount = std::int32_t(tiles.size());
    const auto header = EncodeMapDataHeader(h);
    std::string out(MapDataSignature), images;
    out.append(header.begin(), header.end());
    const std::int64_t indexEnd = MapDataIndexStart + MapDataEntrySize * std::int64_t(tiles.size());
    for (const auto& [key, image] : tiles) {
        std::uint8_t entry[MapDataEntrySize];
        EncodeMapDataEntry(key, std::int32_t(indexEnd + std::int64_t(images.size())), entry);
        out.append(reinterpret_cast<const char*>(entry), sizeof entry);
        images += image;
    }
    std::ofstream(path, std::ios::binary) << out << images;
}

class AtlasCheckDataTest : public ::testing::Test {
protected:
    void TearDown() override { Form.done(QDialog::Rejected); }

    // Opens a file the way the main window does: set the path, show.
    void Open(const fs::path& path) {
        Form.SetFilePath(QString::fromStdString(path.string()));
        Form.show();
    }
    fs::path File(const TMapDataHeader& h, const std::map<std::string, std::string>& bodies = {}) {
        const fs::path path = Dir / ("f" + std::to_string(++Files) + ".Dat");
        WriteDat(path, h, bodies);
        return path;
    }
    fs::path StandardFile(const std::string& types = "ms", int half = 3) { return File(MakeHeader(12, 14, types, half)); }

    // Pointer positions are given in panel coordinates and sent to the image
    // where it is at that moment, as a real pointer would be.
    void Press(QPoint panel) { QTest::mousePress(Form.Map, Qt::LeftButton, {}, panel - Form.Map->pos()); }
    void MoveTo(QPoint panel) { QTest::mouseMove(Form.Map, panel - Form.Map->pos()); }
    void Release(QPoint panel) { QTest::mouseRelease(Form.Map, Qt::LeftButton, {}, panel - Form.Map->pos()); }
    void Drag(QPoint from, QPoint to) {
        Press(from);
        MoveTo(to);
        Release(to);
    }

    QColor ImagePixel(std::int64_t globalX, std::int64_t globalY) const {
        const TViewerState& s = Form.State();
        return Form.Map->Picture().pixelColor(int(globalX - s.ViewLeft * TileSize), int(globalY - s.ViewTop * TileSize));
    }
    TGlobalPixel Centre() const { return Form.State().CentrePixel(); }
    // The middle of the tile under the marker shows that tile of the given type.
    bool MarkedTileDrawn(TMapType type) const {
        const std::int64_t x = Centre().X / TileSize, y = Centre().Y / TileSize;
        return Near(ImagePixel(x * TileSize + 128, y * TileSize + 128), TileColour(type, Form.State().ViewZoom, x, y));
    }

    TTempDir Dir;
    int Files = 0;
    TAtlasCheckDataFM Form;
};

TEST_F(AtlasCheckDataTest, TypeChoicesFollowWhatTheFileHolds) {
    const struct { const char* Types; int Radio; TMapType Type; } rows[] = {  // Radio: 0-based
        {"y", 3, TMapType::SatelliteRoads}, {"", 3, TMapType::SatelliteRoads}, {"py", 1, TMapType::Terrain}, {"sy", 2, TMapType::Satellite}};
    QCheckBox* checks[] = {Form.CheckBox1, Form.CheckBox2, Form.CheckBox3, Form.CheckBox4};
    QRadioButton* radios[] = {Form.RadioButton1, Form.RadioButton2, Form.RadioButton3, Form.RadioButton4};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Types);
        Open(File(MakeHeader(13, 13, row.Types, 1)));
        ASSERT_TRUE(Form.FileOpen());
        for (int i = 0; i < 4; ++i) {  // with no type at all the last is chosen, disabled
            const bool included = std::string(row.Types).find(MapTypeCode(MapTypeAt(size_t(i)))) != std::string::npos;
            EXPECT_EQ(checks[i]->isChecked(), included) << i;
            EXPECT_EQ(radios[i]->isEnabled(), included) << i;
        }
        EXPECT_TRUE(radios[row.Radio]->isChecked());
        EXPECT_EQ(Form.ViewType(), row.Type);
        QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
        EXPECT_FALSE(Form.FileOpen());
        EXPECT_FALSE(Form.isVisible());
    }
}

// The export button writes the shown type through a save dialog and reports
// the count; it is off while the shown type is not in the file.
// One value of a tileset file, read back through SQLite; empty when it has none.
std::string SqlValue(const fs::path& file, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    std::string value;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

TEST_F(AtlasCheckDataTest, ExportButtonWritesTheShownTypeAsMbTilesOrSqliteDb) {
    const fs::path dat = StandardFile("ms", 2);  // zooms 12..14, 5 x 5 tiles each
    Open(dat);
    QTest::mouseClick(Form.RadioButton3, Qt::LeftButton);
    ASSERT_EQ(Form.ViewType(), TMapType::Satellite);
    ASSERT_TRUE(Form.ExportButton->isEnabled());
    const fs::path target = Dir / "out.mbtiles";
    QString suggested, filter;
    TModalAnswers answers;
    answers
        .Then([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            suggested = fs::path(dialog->selectedFiles().value(0).toStdString()).filename().c_str();
            filter = dialog->selectedNameFilter();
            AcceptFileName(dialog, QString::fromStdString(target.string()));
        })
        .Then(ClickOk);
    QTest::mouseClick(Form.ExportButton, Qt::LeftButton);
    EXPECT_EQ(answers.Seen, (QStringList{"file", QStringLiteral("已导出 75 个图块到 \"%1\"。").arg(target.c_str())}));
    EXPECT_EQ(suggested, fs::path(dat).stem().string().c_str() + QStringLiteral("-s.mbtiles"));
    EXPECT_EQ(filter, QStringLiteral("MBTiles (*.mbtiles)"));
    EXPECT_EQ(SqlValue(target, "SELECT count(*) FROM tiles WHERE zoom_level = 12"), "25");

    // The other filter: a name typed without extension gets .sqlitedb and that layout.
    TModalAnswers sqlitedb;
    sqlitedb
        .Then([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            ASSERT_NE(types, nullptr);
            ASSERT_EQ(types->count(), 2);
            QTest::keyClick(types, Qt::Key_Down);  // as the user picks it: the dialog hears of it
            ASSERT_EQ(dialog->selectedNameFilter(), types->itemText(1));
            AcceptFileName(dialog, QString::fromStdString((Dir / "phone").string()));
        })
        .Then(ClickOk);
    QTest::mouseClick(Form.ExportButton, Qt::LeftButton);
    const fs::path phone = Dir / "phone.sqlitedb";
    EXPECT_EQ(sqlitedb.Seen.value(1).toStdString(),
              QStringLiteral("已导出 75 个图块到 \"%1\"。").arg(phone.c_str()).toStdString());
    EXPECT_EQ(SqlValue(phone, "SELECT count(*) FROM tiles WHERE z = 17 - 12 AND s = 0"), "25");
    EXPECT_EQ(SqlValue(phone, "SELECT tilenumbering FROM info"), "BigPlanet");

    Form.done(QDialog::Rejected);
    Open(File(MakeHeader(13, 13, "", 1)));  // no type at all: satellite road is shown, disabled
    EXPECT_FALSE(Form.ExportButton->isEnabled());
}

// Every square shows its tile unshifted; an empty image (a tile the writer
// could not produce) or one that does not decode leaves its square empty.
TEST_F(AtlasCheckDataTest, PixelsMatchTheTilesWritten) {
    const TMapDataHeader h = MakeHeader(12, 12, "m", 2);
    const TGlobalPixel c = LonLatToPixel(12, CentreLon, CentreLat, RoadPair);
    const int cx = c.X / TileSize, cy = c.Y / TileSize;
    Open(File(h, {{TileKey({TMapType::Road, 12, cx, cy}), ""}, {TileKey({TMapType::Road, 12, cx, cy + 1}), "\xFF\xD8\xFF\xE0 not a picture"}}));
    ASSERT_TRUE(Form.FileOpen());
    const TViewerState& s = Form.State();
    int checked = 0;
    for (std::int64_t x = s.ViewLeft; x <= s.ViewRight; ++x)
        for (std::int64_t y = s.ViewTop; y <= s.ViewBottom; ++y) {
            SCOPED_TRACE(testing::Message() << x << "," << y);
            const std::int64_t gx = x * TileSize, gy = y * TileSize;
            if (x == cx && (y == cy || y == cy + 1)) {
                EXPECT_EQ(ImagePixel(gx + 128, gy + 128), TAtlasCheckDataFM::EmptySquareColor());
                continue;
            }
            EXPECT_TRUE(Near(ImagePixel(gx + 128, gy + 128), TileColour(TMapType::Road, 12, x, y)));
            EXPECT_TRUE(Near(ImagePixel(gx + 8, gy + 8), Qt::black));
            ++checked;
        }
    EXPECT_GE(checked, 4);
}

TEST_F(AtlasCheckDataTest, DragThatWouldUncoverThePanelAtTheExtentEdgeIsRefused) {
    TMapDataHeader h = MakeHeader(12, 12, "m", 3);
    h.TileRects[12].Left = LonLatToPixel(12, CentreLon, CentreLat, RoadPair).X / TileSize;  // the centre's column first
    Open(File(h));
    ASSERT_TRUE(Form.FileOpen());
    const TViewerState& s = Form.State();
    const int left0 = Form.Map->x();
    ASSERT_LE(left0, 0);

    // Away from the edge first: always possible while the extent goes on.
    Drag(QPoint(300, 300), QPoint(270, 300));
    ASSERT_EQ(Form.Map->x(), left0 - 30);

    Press(QPoint(300, 300));
    MoveTo(QPoint(340, 300));  // would leave a 10-pixel gap at the left
    EXPECT_EQ(Form.Map->x(), left0 - 30);
    EXPECT_EQ(s.ViewLeft, h.TileRects[12].Left);
    MoveTo(QPoint(330 - left0, 300));  // the same step, but only to the edge
    EXPECT_EQ(Form.Map->x(), 0);
    Release(QPoint(330 - left0, 300));
}

// The pressed point stays under the pointer, also when a long step adds
// columns in the middle of a drag; the window never passes the extent.
TEST_F(AtlasCheckDataTest, LongDragFollowsThePointerAndStopsAtTheExtent) {
    Open(StandardFile("m", 6));
    const TViewerState& s = Form.State();
    const QPoint pos = Form.Map->pos();
    QTest::mousePress(Form.Map, Qt::RightButton, {}, QPoint(300, 300) - pos);  // only the left button drags
    QTest::mouseMove(Form.Map, QPoint(250, 250) - pos);
    QTest::mouseRelease(Form.Map, Qt::RightButton, {}, QPoint(250, 250) - pos);
    EXPECT_EQ(Form.Map->pos(), pos);

    const TGlobalPixel before = Centre();
    Press(QPoint(400, 300));
    MoveTo(QPoint(-200, 330));  // 600 pixels in one step
    EXPECT_EQ(Centre().X, before.X + 600);
    EXPECT_EQ(Centre().Y, before.Y - 30);
    EXPECT_GE(Form.Map->x() + Form.Map->width(), Form.Panel2->width());
    EXPECT_TRUE(MarkedTileDrawn(TMapType::Road));
    Release(QPoint(-200, 330));
    EXPECT_EQ(Form.Edit2->text().toStdString(), FormatReal(PixelToLonLat(12, Centre().X, Centre().Y, RoadPair).Lon));

    // Far past the extent's last column: the window stops there and its right edge meets the panel's.
    Press(QPoint(400, 300));
    MoveTo(QPoint(-4000, 300));
    EXPECT_EQ(s.ViewRight, s.Extent.Right);
    EXPECT_EQ(Form.Map->x() + Form.Map->width(), Form.Panel2->width());
    EXPECT_LE(s.Columns(), 4);  // columns that left the panel were dropped
    Release(QPoint(-4000, 300));
}

TEST_F(AtlasCheckDataTest, OpensCentredAtTheFirstZoomAndZoomOrTypeChangesKeepThePointUnderTheMarker) {
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
    EXPECT_EQ(Form.ViewType(), TMapType::Road);
    EXPECT_GE(Form.Map->x() + Form.Map->width(), Form.Panel2->width());  // the image covers the panel
    EXPECT_GE(Form.Map->y() + Form.Map->height(), Form.Panel2->height());

    Drag(QPoint(300, 300), QPoint(260, 330));
    const QString lon = Form.Edit2->text(), lat = Form.Edit3->text();
    const TLonLat marked = Form.State().CentrePosition();

    Form.ComboBox1->setFocus();
    QTest::keyClick(Form.ComboBox1, Qt::Key_Down);
    ASSERT_EQ(Form.ComboBox1->currentText(), "13");
    EXPECT_EQ(Form.State().ViewZoom, 13);
    EXPECT_EQ(Centre(), LonLatToPixel(13, marked.Lon, marked.Lat, RoadPair));
    EXPECT_EQ(Form.Edit2->text(), lon);
    EXPECT_EQ(Form.Edit3->text(), lat);
    EXPECT_TRUE(MarkedTileDrawn(TMapType::Road));

    QTest::mouseClick(Form.RadioButton3, Qt::LeftButton, {}, QPoint(8, Form.RadioButton3->height() / 2));
    EXPECT_EQ(Form.ViewType(), TMapType::Satellite);
    EXPECT_EQ(Form.State().ViewZoom, 13);
    EXPECT_EQ(Form.Edit2->text(), lon);
    EXPECT_EQ(Centre(), LonLatToPixel(13, marked.Lon, marked.Lat, SatellitePair));
    EXPECT_TRUE(MarkedTileDrawn(TMapType::Satellite));
}

TEST_F(AtlasCheckDataTest, BadFilesAreReportedAndLeaveTheListAlone) {
    const fs::path good = StandardFile();
    Open(good);
    ASSERT_TRUE(Form.FileOpen());
    Form.done(QDialog::Accepted);

    std::ifstream in(good, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    auto write = [&](const char* name, const std::string& content) {
        std::ofstream(Dir / name, std::ios::binary) << content;
        return Dir / name;
    };
    const std::string foreign = "文件不是本程序生成的地图数据文件。";
    const std::pair<fs::path, std::string> rows[] = {
        {Dir / "absent.Dat", "文件不存在。"},
        {write("other.Dat", "ATLAS_POCKET_DAT!" + bytes.substr(17)), foreign},
        {write("cut_index.Dat", bytes.substr(0, 409 + 32 * 10)), foreign},
        {write("cut_header.Dat", bytes.substr(0, 100)), foreign},
    };
    for (const auto& [path, message] : rows) {
        SCOPED_TRACE(path);
        TModalAnswers answers;
        Open(path);
        EXPECT_EQ(answers.Seen, QStringList{QString::fromStdString(message)});
        EXPECT_FALSE(Form.FileOpen());
        EXPECT_EQ(Form.ComboBox1->count(), 3);  // not refilled
        // Without a file, the controls are inert.
        const QPoint pos = Form.Map->pos();
        Drag(QPoint(300, 300), QPoint(200, 200));
        EXPECT_EQ(Form.Map->pos(), pos);
        QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
    }
    // The reused window opens a good file again.
    Open(good);
    EXPECT_TRUE(Form.FileOpen());
}

}  // namespace
