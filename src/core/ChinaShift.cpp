#include "ChinaShift.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double Pi = 3.14159265358979323846;
// Krasovsky ellipsoid, on which the shift is defined.
constexpr double KrasovskyA = 6378245.0;
constexpr double KrasovskyE2 = 0.00669342162296594323;
constexpr double EarthRadius = 6371000.0;

// The two offset series, in metres on the ellipsoid, of x = lon - 105, y = lat - 35.
double LatSeries(double x, double y) {
    double r = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    r += (20.0 * std::sin(6.0 * x * Pi) + 20.0 * std::sin(2.0 * x * Pi)) * 2.0 / 3.0;
    r += (20.0 * std::sin(y * Pi) + 40.0 * std::sin(y / 3.0 * Pi)) * 2.0 / 3.0;
    r += (160.0 * std::sin(y / 12.0 * Pi) + 320.0 * std::sin(y * Pi / 30.0)) * 2.0 / 3.0;
    return r;
}

double LonSeries(double x, double y) {
    double r = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    r += (20.0 * std::sin(6.0 * x * Pi) + 20.0 * std::sin(2.0 * x * Pi)) * 2.0 / 3.0;
    r += (20.0 * std::sin(x * Pi) + 40.0 * std::sin(x / 3.0 * Pi)) * 2.0 / 3.0;
    r += (150.0 * std::sin(x / 12.0 * Pi) + 300.0 * std::sin(x / 30.0 * Pi)) * 2.0 / 3.0;
    return r;
}

}  // namespace

bool InShiftedRegion(double lon, double lat) {
    return lon >= 72.004 && lon <= 137.8347 && lat >= 0.8293 && lat <= 55.8271;
}

TDeltaPair ChinaShift(double lon, double lat) {
    if (!InShiftedRegion(lon, lat)) return {};
    const double x = lon - 105.0, y = lat - 35.0;
    const double phi = lat / 180.0 * Pi;
    const double s = std::sin(phi);
    const double w = 1.0 - KrasovskyE2 * s * s;
    const double sw = std::sqrt(w);
    // Metres to degrees: meridian and parallel radii of curvature at phi.
    const double dLat = LatSeries(x, y) * 180.0 / ((KrasovskyA * (1.0 - KrasovskyE2)) / (w * sw) * Pi);
    const double dLon = LonSeries(x, y) * 180.0 / (KrasovskyA / sw * std::cos(phi) * Pi);
    return {dLon, dLat};
}

double OffsetDistanceMetres(TDeltaPair a, TDeltaPair b, double lat) {
    const double k = EarthRadius * Pi / 180.0;
    const double dx = (a.Lon - b.Lon) * k * std::cos(std::clamp(lat, -90.0, 90.0) * Pi / 180.0);
    const double dy = (a.Lat - b.Lat) * k;
    return std::hypot(dx, dy);
}

double MaxShiftError(TDeltaPair pair, double west, double south, double east, double north) {
    const int n = ResidualGridSide;
    double worst = 0.0;
    for (int i = 0; i < n; ++i) {
        const double lon = west + (east - west) * i / (n - 1);
        for (int j = 0; j < n; ++j) {
            const double lat = south + (north - south) * j / (n - 1);
            worst = std::max(worst, OffsetDistanceMetres(pair, ChinaShift(lon, lat), lat));
        }
    }
    return worst;
}
