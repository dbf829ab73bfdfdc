#include "TileFileName.h"

#include <charconv>

namespace {

// Splits at the first sep: the part before it is returned, rest keeps what
// follows. Without a sep the whole rest is the part and rest becomes empty,
// so a damaged name still yields every field.
std::string_view TakeUntil(std::string_view& rest, char sep) {
    const std::size_t at = rest.find(sep);
    if (at == std::string_view::npos) {
        const std::string_view part = rest;
        rest = {};
        return part;
    }
    const std::string_view part = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    return part;
}

// Optional sign and decimal digits in the int32 range, nothing else; any
// other text reads as 0.
std::int32_t IntOrZero(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return 0;
    std::int32_t v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size()) return 0;
    return v;
}

}  // namespace

std::optional<TTileId> ParseTileFileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view rest = slash == std::string_view::npos ? path : path.substr(slash + 1);

    TTileId tile;
    const std::optional<TMapType> type = ParseMapType(TakeUntil(rest, '_'));
    if (!type) return std::nullopt;
    tile.Type = *type;
    tile.Zoom = IntOrZero(TakeUntil(rest, '-'));
    tile.X = IntOrZero(TakeUntil(rest, '-'));
    tile.Y = IntOrZero(TakeUntil(rest, '.'));
    return tile;
}
