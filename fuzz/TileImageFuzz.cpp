// Tile type detection and the PNG/JPEG decoders on hostile tile bodies, both
// from memory and through the cached-file path the map data writer uses.
#include "FuzzSupport.h"
#include "TileCache.h"
#include "TileImage.h"

namespace {

void CheckBitmap(const TReadResult<TBitmap>& b) {
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
    const auto type = GetTileFileType(file);
    fuzz::Require(type && (*type == (recognised ? typeName : std::string())), "file and memory detection agree");
    // The cache's own reading, as the map view and the map data writer use it.
    const TCachedTile tile = TTileCache(fuzz::ScratchDir().string(), TServerConfig{}).Load({TMapType::Road, 12, 3452, 1523});
    fuzz::Require(tile.State != TTileState::Missing && tile.State != TTileState::Unreadable, "a written tile is read");
    fuzz::Require((tile.State == TTileState::Unrecognised) == !recognised, "the cache recognises what detection does");
    if (tile.State == TTileState::Decoded) {
        CheckBitmap(tile.Picture);
        fuzz::Require(bool(DecodeTileBytes(std::vector<std::uint8_t>(data, data + size), typeName)),
                      "the cache decodes what the decoder does");
    }
    return 0;
}
