// The national GCJ-02 shift of the road and terrain maps: how far (in
// degrees, shifted minus true) the tile service draws a true position. A
// constant calibration pair is exact only where it was measured; these
// functions give the shift anywhere and how far a constant pair is off.
#pragma once

#include "Geometry.h"

// Rough box of mainland China in which the shift applies (lon 72.004..137.8347,
// lat 0.8293..55.8271, the box in common use). Outside it the shift is zero.
bool InShiftedRegion(double lon, double lat);

// The shift at a true position; zero outside the shifted region.
TDeltaPair ChinaShift(double lon, double lat);

// Ground distance in metres between two offset pairs applied at latitude lat
// (equirectangular on a sphere of 6371 km; offsets are tiny, so this is exact
// to well under a metre).
double OffsetDistanceMetres(TDeltaPair a, TDeltaPair b, double lat);

// Largest distance in metres between the constant pair and the true shift
// over the box of true positions (west..east, south..north), sampled on a
// regular grid of ResidualGridSide x ResidualGridSide points that includes
// the corners and the edges. A box of zero extent samples its one point.
inline constexpr int ResidualGridSide = 129;
double MaxShiftError(TDeltaPair pair, double west, double south, double east, double north);
