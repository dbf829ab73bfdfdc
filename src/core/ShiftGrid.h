// Where the shifted road and terrain tiles show a point of a true-coordinate
// tile: for every pixel of an output tile at some zoom, the position in the
// service's shifted pixel grid of the same zoom that holds its colour. The
// national shift is evaluated exactly at a grid of control points per tile
// and interpolated bilinearly between them.
//
// Bound: bilinear interpolation errs by at most h^2 / 8 times the
// displacement's second derivatives over cells of h pixels. At zoom 17 these
// are below 1e-6 px per square pixel (the shift's fastest term, 13 m times
// sin(6 pi lon), varies over a third of a degree, some 31000 px), so the
// 31.875 px cells err by well under 0.001 px, a little more beside the
// series' kink at 105 degrees east. At small zooms a cell spans a good part
// of that ripple and the error is bounded by the ripple's size in pixels
// instead: at most 0.056 px, at zoom 7 to 8 in the far north. ShiftGridBoundPx
// states an envelope of both that the tests check against the exact shift at
// every zoom 5..17 all over the region: under 0.1 px everywhere and 0.0056 px
// at zoom 17.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Control points per tile side (a 9 x 9 grid: cells of 255/8 px between the
// first and the last pixel centre).
inline constexpr int ShiftGridSide = 9;
// Largest distance in pixels between an interpolated and the exact sample
// position at a zoom: min(0.08, 0.005 + 0.08 / 2^(zoom - 8)).
double ShiftGridBoundPx(int zoom);

// Exact displacement in pixels (shifted minus true) at a continuous global
// pixel position (gx, gy) of a zoom. Zero, exactly, where the shift does not apply.
void ShiftPixels(int zoom, double gx, double gy, double& dx, double& dy);

// Pixels Begin..End-1 of a row whose sample positions grow linearly: pixel
// Begin + k samples (X + k * StepX, Y + k * StepY).
struct TSampleSpan {
    int Begin = 0, End = 0;
    double X = 0.0, Y = 0.0, StepX = 0.0, StepY = 0.0;
};

// The sample positions of one output tile. A position is in pixel-index units
// relative to the tile's top-left pixel: pixel (i, j) takes its colour from
// (i + dx, j + dy) of the shifted grid, so a zero shift samples (i, j) itself.
class TShiftField {
public:
    TShiftField(int zoom, std::int32_t tileX, std::int32_t tileY);

    // No pixel of the tile is shifted: the shifted tile is the output tile.
    bool IsZero() const { return Zero; }
    // The 256 sample positions of row j.
    void Row(int j, double* sx, double* sy) const;
    // Row j as linear spans, left to right, into spans (room for TileSize);
    // returns their count: one per cell of the control grid, or one per
    // pixel for a tile computed exactly. Row's positions, but for rounding.
    int Spans(int j, TSampleSpan* spans) const;
    // Bounds of every sample position of the tile (relative, as above).
    double MinX() const { return Bounds[0]; }
    double MinY() const { return Bounds[1]; }
    double MaxX() const { return Bounds[2]; }
    double MaxY() const { return Bounds[3]; }

private:
    int Zoom;
    double OriginX, OriginY;  // global pixel of the tile's top-left corner
    bool Zero = true;
    // A tile across the region's edge, where the shift jumps, is computed per
    // pixel: interpolation would smear the jump.
    bool Exact = false;
    std::array<double, ShiftGridSide * ShiftGridSide> Dx{}, Dy{};
    std::vector<float> ExactDx, ExactDy;  // 256 x 256, for Exact tiles
    std::array<double, 4> Bounds{};
    // The interpolated displacement at the control columns of row j.
    void RowControls(int j, double* colX, double* colY) const;
};
