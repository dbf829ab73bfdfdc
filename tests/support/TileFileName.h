// Reading a tile back from its cache file name, as the tests look at what the
// cache holds; the program itself never reads a name back.
#pragma once

#include <optional>
#include <string_view>

#include "AtlasAppType.h"

// The tile of a path or name made by TTileCache::TileFileName; a part that
// is not an integer reads as 0; nothing when the type part is no type code.
std::optional<TTileId> ParseTileFileName(std::string_view path);
