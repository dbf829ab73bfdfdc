// Decoding a tile file in one call, as the tests look at what the cache holds.
#pragma once

#include <string>

#include "Bitmap.h"
#include "FileRead.h"

// Decodes a cached tile whose type GetTileFileType reported: "JPG" through the
// JPEG decoder, anything else through the first decoder that accepts the
// content (PNG or JPEG). Fails for GIF, damaged data or an unreadable file.
TReadResult<TBitmap> DecodeTileFile(const std::string& fileName, const std::string& typeName);
