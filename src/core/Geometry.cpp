#include "Geometry.h"

#include <cmath>
#include <numbers>

std::int32_t TileCount(int zoom) {
    if (zoom <= 0) return 1;
    if (zoom > 30) zoom = 30;  // beyond any zoom the program uses; keeps the shift defined
    return std::int32_t(1) << zoom;
}

std::int32_t MaxTileIndex(int zoom) { return zoom > 0 ? TileCount(zoom) - 1 : 0; }

bool TileInGrid(int zoom, std::int64_t x, std::int64_t y) {
    const std::int64_t n = TileCount(zoom);
    return x >= 0 && y >= 0 && x < n && y < n;
}

double Mercator(double radians) { return std::log(std::tan(radians / 2 + std::numbers::pi / 4)); }

double InverseMercator(double v) { return 2 * std::atan(std::exp(v)) - std::numbers::pi / 2; }

namespace {

std::int32_t SaturatingFloor(double v) {
    if (std::isnan(v)) return 0;
    v = std::floor(v);
    if (v > PixelLimit) return PixelLimit;
    if (v < -PixelLimit) return -PixelLimit;
    return static_cast<std::int32_t>(v);
}

}  // namespace

TGlobalPixel LonLatToPixel(int zoom, double lon, double lat, TDeltaPair pair) {
    const double n = TileCount(zoom);
    const double lonC = lon + pair.Lon;
    const double latC = lat + pair.Lat;
    const double px = (n * 256.0) * (lonC + 180.0) / 360.0;
    // At +-90 degrees and beyond the tangent is 0 or negative: the log gives
    // -inf or NaN, which saturate (NaN rows read as the grid's top edge).
    const double r = Mercator(-latC * std::numbers::pi / 180.0);
    const double py = n * (r / 2.0 / std::numbers::pi * 256.0 + 128.0);
    return {SaturatingFloor(px), std::isnan(py) ? (latC > 0 ? -PixelLimit : PixelLimit) : SaturatingFloor(py)};
}

TLonLat PixelToLonLat(int zoom, std::int32_t px, std::int32_t py, TDeltaPair pair) {
    const std::int64_t n = TileCount(zoom);
    const double lon = (360.0 / double(n)) * (double(px) / 256.0) - 180.0;
    const std::int64_t rows = 256 * n - std::int64_t(py);
    const double t = double(rows) / double(n) - 128.0;
    const double lat = InverseMercator(t / 256.0 * std::numbers::pi * 2.0) * 180.0 / std::numbers::pi;
    return {lon - pair.Lon, lat - pair.Lat};
}
