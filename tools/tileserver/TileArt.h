// The pictures and bodies the local tile server answers with. Every tile is
// drawn deterministically from its address, so a misplaced tile shows on screen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AtlasAppType.h"
#include "Bitmap.h"

using TBytes = std::vector<std::uint8_t>;

// A 256x256 picture: background per type, a border, the type letter and "z/x/y";
// a later edition (1, 2, ...) adds a bar whose length shows the edition, as a
// service's updated tile would differ. With mark art on, road and terrain
// tiles are drawn as DrawShiftedMarks.
TBitmap DrawTile(const TTileId& tile, int edition = 0);

// Mark art: white road and terrain tiles holding a dark round mark for every
// point of a true-coordinate grid, drawn where the shifted service would show
// it (the point plus the national shift). At zoom z the grid's points are the
// global pixel positions (MarkSpacing * a + MarkOffsetX, MarkSpacing * b +
// MarkOffsetY), continuous coordinates, for all integers a and b. A blob's
// darkness falls off as a Gaussian, so its centroid is its exact position.
inline constexpr int MarkSpacing = 64;
inline constexpr double MarkOffsetX = 20.3;
inline constexpr double MarkOffsetY = 41.7;
TBitmap DrawShiftedMarks(const TTileId& tile);
// Set once at start, before any tile is drawn.
void SetMarkArt(bool on);

// The body the service gives for a tile: PNG for m, p, y and JFIF JPEG for s.
TBytes EncodeTileBody(const TTileId& tile, int edition = 0);

TBytes EncodePngBody(const TBitmap& bitmap);
// The same JPEG with its JFIF APP0 segment replaced by an Exif APP1 segment (FF D8 FF E1).
TBytes ExifJpegBody(const TBitmap& bitmap);
// A 16x16 PNG whose header claims w x h pixels, its checksum fixed, so that
// only a size check can refuse it.
TBytes PngClaimingSize(std::uint32_t w, std::uint32_t h);
// A valid 1x1 GIF89a.
TBytes SmallGifBody();
TBytes GzipBody(const TBytes& body);
// Bytes that no image decoder recognises, derived from a seed.
TBytes GarbageBody(std::uint32_t seed, std::size_t size);
