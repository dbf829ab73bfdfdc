// Tile pictures for the codec and cache tests, made with libpng directly so
// that the code under test never checks itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <png.h>

#include "Bitmap.h"
#include "TempDir.h"

using TBytes = std::vector<std::uint8_t>;

// Writes bytes to dir/name; gives the path.
std::string WriteFile(const TTempDir& dir, const std::string& name, const TBytes& bytes);

// Flat areas, a block and a gentle gradient, like a road map tile.
TBitmap MapLikeBitmap(int w = 256, int h = 256);

// The mean difference per channel; huge when the sizes differ.
double MeanAbsError(const TBitmap& a, const TBitmap& b);

TBytes WritePng(png_uint_32 w, png_uint_32 h, png_uint_32 format, const TBytes& pixels);
TBytes PngOf(const TBitmap& b);
