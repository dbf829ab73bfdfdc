// Spherical Mercator conversions of the tile service, with the calibration
// offsets of the shown map type applied on the way in and out.
#pragma once

#include <cstdint>

// A calibration offset pair in degrees: added before projecting, subtracted after.
struct TDeltaPair {
    double Lon = 0.0;
    double Lat = 0.0;
};

struct TGlobalPixel {
    std::int32_t X = 0;
    std::int32_t Y = 0;
    friend bool operator==(const TGlobalPixel&, const TGlobalPixel&) = default;
};

struct TLonLat {
    double Lon = 0.0;
    double Lat = 0.0;
};

inline constexpr int TileSize = 256;

// Tiles per row and column: 2^zoom, and 1 for zoom <= 0.
std::int32_t TileCount(int zoom);
// Largest valid tile index at a zoom: 2^zoom - 1, and 0 for zoom <= 0.
std::int32_t MaxTileIndex(int zoom);
// True when (x, y) is a tile of the grid at this zoom.
bool TileInGrid(int zoom, std::int64_t x, std::int64_t y);

double Mercator(double radians);
double InverseMercator(double v);

// Pixel results are floored; points outside the projection saturate at
// +-PixelLimit instead of overflowing, so callers' arithmetic stays in range.
inline constexpr std::int32_t PixelLimit = 1 << 30;

TGlobalPixel LonLatToPixel(int zoom, double lon, double lat, TDeltaPair pair);
TLonLat PixelToLonLat(int zoom, std::int32_t px, std::int32_t py, TDeltaPair pair);
