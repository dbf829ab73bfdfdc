// Tile type detection and the PNG/JPEG decoders on hostile tile bodies, both
// from memory and through the cached-file path the map data writer uses.
#include "FuzzSupport.h"
#include "TileCache.h"
#include "TileImage.h"

namespace {

void CheckBitmap(const std::optional<TBitmap>& b) {
    if (!b) return;
    fuzz::Require(b->Width > 0 && b->Height > 0 && b->Width <= MaxImageSide && b->Height <= MaxImageSide,
                  "decoded sizes stay within the limit");
    fuzz::Require(b->Rgb.size() == std::size_t(b->Width) * std::size_t(b->Height) * 3, "three bytes a pixel");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string typeName;
    const bool recognised = DetectImageType(data, size, typeName);
    CheckBitmap(DecodePng(data, size));
    CheckBitmap(DecodeJpeg(data, size));

    const std::string file = fuzz::WriteScratch("m_12-3452-1523.gif", data, size);
    const TFileTypeResult type = GetTileFileType(file);
    fuzz::Require(type.Opened && type.Recognised == recognised && (!recognised || type.TypeName == typeName),
                  "file and memory detection agree");
    if (type.Recognised) CheckBitmap(DecodeTileFile(file, type.TypeName));
    return 0;
}
