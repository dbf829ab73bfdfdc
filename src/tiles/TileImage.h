// Decoding of cached tiles (PNG through libpng, JPEG through libjpeg; there is
// no GIF decoder) and the JPEG encoder of the map data file. Every decoder
// refuses pictures over MaxImageSide on either side and survives damaged data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bitmap.h"
#include "Fault.h"
#include "FileRead.h"

inline constexpr int MaxImageSide = 4096;
// A tile file larger than this is refused without being read.
inline constexpr std::size_t MaxTileFileBytes = std::size_t(16) << 20;

// Full PNG signature required. Alpha is composited over white. A header
// claiming more than maxSide pixels on either side is refused before any
// pixel memory is allocated.
TReadResult<TBitmap> DecodePng(const std::uint8_t* data, std::size_t size, int maxSide = MaxImageSide);
// Any JPEG the IJG decoder reads (grey, RGB/YCbCr, CMYK converted to RGB).
TReadResult<TBitmap> DecodeJpeg(const std::uint8_t* data, std::size_t size, int maxSide = MaxImageSide);

// Width and height from a PNG or JPEG header alone; fails for anything else.
struct TPictureSize {
    int Width = 0;
    int Height = 0;
};
TReadResult<TPictureSize> ReadPictureSize(const std::vector<std::uint8_t>& bytes);

// Whether a downloaded body may enter the cache: a TileSize x TileSize PNG
// whose chunks are whole and match their CRCs, or a JPEG of that size that
// decodes; nothing could ever show anything else. Otherwise the attempt's
// reason (NoImage, GifPicture, WrongPictureSize, DamagedPicture) with the
// answer's status.
std::optional<TFault> CheckTileBody(const std::vector<std::uint8_t>& body, long httpStatus);

// Decodes a cached tile's bytes whose type GetTileFileType reported: "JPG"
// through the JPEG decoder, anything else through the first decoder that
// accepts the content (PNG or JPEG). Fails for GIF or damaged data.
TReadResult<TBitmap> DecodeTileBytes(const std::vector<std::uint8_t>& bytes, const std::string& typeName);

// A picture that cannot be encoded; what() says why.
class TImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An RGB PNG of the bitmap (for the local tile server and the tests; tiles
// themselves are never written as PNG). Throws TImageError.
std::vector<std::uint8_t> EncodePng(const TBitmap& bitmap);

// Baseline JFIF at the given quality with forced baseline tables, 4:2:0,
// standard Huffman tables. Throws TImageError.
std::vector<std::uint8_t> EncodeJpeg(const TBitmap& bitmap, int quality = 90);
