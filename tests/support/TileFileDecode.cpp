#include "TileFileDecode.h"

#include "TileImage.h"

TReadResult<TBitmap> DecodeTileFile(const std::string& fileName, const std::string& typeName) {
    auto bytes = ReadRegularFile(fileName, MaxTileFileBytes);
    if (!bytes) return bytes.Error();
    auto bitmap = DecodeTileBytes(*bytes, typeName);
    if (!bitmap) return ContentError(fileName + ": " + bitmap.Error().Text);
    return bitmap;
}
