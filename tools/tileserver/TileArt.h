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
// service's updated tile would differ.
TBitmap DrawTile(const TTileId& tile, int edition = 0);

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
