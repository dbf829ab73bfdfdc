#include "ShiftGrid.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "ChinaShift.h"
#include "Geometry.h"

namespace {

constexpr double Cell = 255.0 / (ShiftGridSide - 1);

double WorldPixels(int zoom) { return double(TileCount(zoom)) * TileSize; }

TLonLat GlobalToLonLat(int zoom, double gx, double gy) {
    const double w = WorldPixels(zoom);
    const double lon = gx / w * 360.0 - 180.0;
    const double lat = InverseMercator((0.5 - gy / w) * 2.0 * std::numbers::pi) * 180.0 / std::numbers::pi;
    return {lon, lat};
}

void LonLatToGlobal(int zoom, double lon, double lat, double& gx, double& gy) {
    const double w = WorldPixels(zoom);
    gx = (lon + 180.0) / 360.0 * w;
    gy = (0.5 - Mercator(lat * std::numbers::pi / 180.0) / (2.0 * std::numbers::pi)) * w;
}

}  // namespace

double ShiftGridBoundPx(int zoom) { return std::min(0.08, 0.005 + 0.08 / std::ldexp(1.0, zoom - 8)); }

void ShiftPixels(int zoom, double gx, double gy, double& dx, double& dy) {
    const TLonLat p = GlobalToLonLat(zoom, gx, gy);
    const TDeltaPair s = ChinaShift(p.Lon, p.Lat);
    dx = dy = 0.0;
    if (s.Lon == 0.0 && s.Lat == 0.0) return;
    double ax, ay, bx, by;
    LonLatToGlobal(zoom, p.Lon, p.Lat, ax, ay);
    LonLatToGlobal(zoom, p.Lon + s.Lon, p.Lat + s.Lat, bx, by);
    dx = bx - ax;
    dy = by - ay;
}

TShiftField::TShiftField(int zoom, std::int32_t tileX, std::int32_t tileY)
    : Zoom(zoom), OriginX(double(tileX) * TileSize), OriginY(double(tileY) * TileSize) {
    int inside = 0;
    for (int r = 0; r < ShiftGridSide; ++r)
        for (int c = 0; c < ShiftGridSide; ++c) {
            const double u = 0.5 + c * Cell, v = 0.5 + r * Cell;
            const TLonLat p = GlobalToLonLat(zoom, OriginX + u, OriginY + v);
            inside += InShiftedRegion(p.Lon, p.Lat) ? 1 : 0;
            ShiftPixels(zoom, OriginX + u, OriginY + v, Dx[std::size_t(r * ShiftGridSide + c)],
                        Dy[std::size_t(r * ShiftGridSide + c)]);
        }
    // The region is a longitude/latitude box and a tile is one too, so a tile
    // whose control points all lie outside it (or all inside) lies wholly so,
    // except at zooms where a tile is larger than the region, where the
    // corner test below still finds the mixed case.
    const TLonLat nw = GlobalToLonLat(zoom, OriginX, OriginY);
    const TLonLat se = GlobalToLonLat(zoom, OriginX + TileSize, OriginY + TileSize);
    const bool touches = nw.Lon <= 137.8347 && se.Lon >= 72.004 && se.Lat <= 55.8271 && nw.Lat >= 0.8293;
    if (inside == 0 && !touches) {
        Bounds = {0.0, 0.0, double(TileSize - 1), double(TileSize - 1)};
        return;
    }
    Zero = false;
    Exact = inside != ShiftGridSide * ShiftGridSide;
    if (Exact) {
        ExactDx.resize(std::size_t(TileSize) * TileSize);
        ExactDy.resize(ExactDx.size());
        for (int j = 0; j < TileSize; ++j)
            for (int i = 0; i < TileSize; ++i) {
                double dx, dy;
                ShiftPixels(zoom, OriginX + i + 0.5, OriginY + j + 0.5, dx, dy);
                ExactDx[std::size_t(j * TileSize + i)] = float(dx);
                ExactDy[std::size_t(j * TileSize + i)] = float(dy);
            }
    }
    // Every interpolated position is a convex blend of its cell's corners, so
    // the control points bound the tile; an exact tile is scanned whole.
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    double sx[TileSize], sy[TileSize];
    if (Exact) {
        for (int j = 0; j < TileSize; ++j) {
            Row(j, sx, sy);
            for (int i = 0; i < TileSize; ++i) {
                minX = std::min(minX, sx[i]);
                maxX = std::max(maxX, sx[i]);
                minY = std::min(minY, sy[i]);
                maxY = std::max(maxY, sy[i]);
            }
        }
    } else {
        for (int r = 0; r < ShiftGridSide; ++r)
            for (int c = 0; c < ShiftGridSide; ++c) {
                const std::size_t k = std::size_t(r * ShiftGridSide + c);
                minX = std::min(minX, c * Cell + Dx[k]);
                maxX = std::max(maxX, c * Cell + Dx[k]);
                minY = std::min(minY, r * Cell + Dy[k]);
                maxY = std::max(maxY, r * Cell + Dy[k]);
            }
    }
    Bounds = {minX, minY, maxX, maxY};
}

void TShiftField::Row(int j, double* sx, double* sy) const {
    if (Zero) {
        for (int i = 0; i < TileSize; ++i) {
            sx[i] = i;
            sy[i] = j;
        }
        return;
    }
    if (Exact) {
        for (int i = 0; i < TileSize; ++i) {
            sx[i] = i + double(ExactDx[std::size_t(j * TileSize + i)]);
            sy[i] = j + double(ExactDy[std::size_t(j * TileSize + i)]);
        }
        return;
    }
    double colX[ShiftGridSide], colY[ShiftGridSide];
    RowControls(j, colX, colY);
    for (int c = 0, i = 0; c < ShiftGridSide - 1; ++c) {
        const double stepX = (colX[c + 1] - colX[c]) / Cell, stepY = (colY[c + 1] - colY[c]) / Cell;
        const int end = c == ShiftGridSide - 2 ? TileSize : int((c + 1) * Cell) + 1;
        for (; i < end; ++i) {
            const double s = i - c * Cell;
            sx[i] = i + colX[c] + stepX * s;
            sy[i] = j + colY[c] + stepY * s;
        }
    }
}

void TShiftField::RowControls(int j, double* colX, double* colY) const {
    // The displacement is interpolated, never the position itself, so that
    // the linear part stays exact.
    const int r = std::min(int(j / Cell), ShiftGridSide - 2);
    const double t = (j - r * Cell) / Cell;
    for (int c = 0; c < ShiftGridSide; ++c) {
        const std::size_t a = std::size_t(r * ShiftGridSide + c), b = a + ShiftGridSide;
        colX[c] = Dx[a] + (Dx[b] - Dx[a]) * t;
        colY[c] = Dy[a] + (Dy[b] - Dy[a]) * t;
    }
}

int TShiftField::Spans(int j, TSampleSpan* spans) const {
    if (Zero) {
        spans[0] = {0, TileSize, 0.0, double(j), 1.0, 0.0};
        return 1;
    }
    if (Exact) {
        for (int i = 0; i < TileSize; ++i)
            spans[i] = {i, i + 1, i + double(ExactDx[std::size_t(j * TileSize + i)]),
                        j + double(ExactDy[std::size_t(j * TileSize + i)]), 1.0, 0.0};
        return TileSize;
    }
    double colX[ShiftGridSide], colY[ShiftGridSide];
    RowControls(j, colX, colY);
    for (int c = 0, i = 0; c < ShiftGridSide - 1; ++c) {
        const double stepX = (colX[c + 1] - colX[c]) / Cell, stepY = (colY[c + 1] - colY[c]) / Cell;
        const int end = c == ShiftGridSide - 2 ? TileSize : int((c + 1) * Cell) + 1;
        const double s = i - c * Cell;
        spans[c] = {i, end, i + colX[c] + stepX * s, j + colY[c] + stepY * s, 1.0 + stepX, stepY};
        i = end;
    }
    return ShiftGridSide - 1;
}
