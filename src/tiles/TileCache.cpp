#include "TileCache.h"

#include "AtlasAppType.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <filesystem>

#include "TileImage.h"

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

bool EqualsIgnoreCase(const std::uint8_t* bytes, const char* upper) {
    for (int i = 0; i < 3; ++i) {
        std::uint8_t c = bytes[i];
        if (c >= 'a' && c <= 'z') c = std::uint8_t(c - 'a' + 'A');
        if (c != std::uint8_t(upper[i])) return false;
    }
    return true;
}

}  // namespace

std::string TTileCache::TileFileName(const TTileId& tile) {
    std::string name(tile.Type());
    name += '_';
    name += std::to_string(tile.Zoom);
    name += '-';
    name += std::to_string(tile.X);
    name += '-';
    name += std::to_string(tile.Y);
    name += ".gif";
    return name;
}

TTileId TTileCache::ParseTileFileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view rest = slash == std::string_view::npos ? path : path.substr(slash + 1);

    TTileId tile;
    tile.TypeCode = TypeCodeLetter(TakeUntil(rest, '_'));
    tile.Zoom = IntOrZero(TakeUntil(rest, '-'));
    tile.X = IntOrZero(TakeUntil(rest, '-'));
    tile.Y = IntOrZero(TakeUntil(rest, '.'));
    return tile;
}

TTileCache::TTileCache(std::string folder, const TServerConfig& server) : Dir(std::move(folder)) {
    if (!Dir.empty() && Dir.back() != '/') Dir += '/';
    for (int type = 0; type < MapTypeCount; ++type)
        if (HasOwnTemplate(server, type)) SourceFolders[std::size_t(type)] = SourceDigest(server.UrlTemplates[std::size_t(type)]) + '/';
}

std::string TTileCache::Path(const TTileId& tile) const {
    const int type = MapTypeIndex(tile.TypeCode);
    return Dir + (type < 0 ? std::string() : SourceFolders[std::size_t(type)]) + TileFileName(tile);
}

bool TTileCache::IsCached(const TTileId& tile) const {
    std::error_code ec;
    return std::filesystem::exists(Path(tile), ec);
}

TCachedTile TTileCache::Load(const TTileId& tile) const {
    TCachedTile out;
    auto bytes = ReadRegularFile(Path(tile), MaxTileFileBytes);
    if (!bytes) {
        const TReadError& e = bytes.Error();
        // A file too large to be a tile is a content fault, like damaged data.
        out.State = e.Errno == ENOENT ? TTileState::Missing
                  : e.Errno != 0 || e.NotRegular ? TTileState::Unreadable
                  : TTileState::Undecodable;
        out.Error = e;
        if (out.State == TTileState::Undecodable) {
            if (auto type = GetTileFileType(Path(tile)); type && !type->empty()) out.TypeName = *type;
            else out.State = TTileState::Unrecognised;
        }
        return out;
    }
    if (!DetectImageType(bytes->data(), bytes->size(), out.TypeName)) {
        out.State = TTileState::Unrecognised;
        return out;
    }
    auto picture = DecodeTileBytes(*bytes, out.TypeName);
    if (!picture) {
        out.State = TTileState::Undecodable;
        out.Error = picture.Error();
        return out;
    }
    out.State = TTileState::Decoded;
    out.Picture = std::move(*picture);
    out.Digest = TileDigest(*bytes);
    return out;
}

bool DetectImageType(const std::uint8_t* data, std::size_t size, std::string& typeName) {
    if (data == nullptr || size < 4) return false;
    if (EqualsIgnoreCase(data, "GIF")) {
        typeName = "GIF";
        return true;
    }
    if (EqualsIgnoreCase(data + 1, "PNG")) {
        typeName = "PNG";
        return true;
    }
    if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF && data[3] == 0xE0) {
        typeName = "JPG";
        return true;
    }
    return false;
}

bool DetectImageType(std::istream& data, std::string& typeName) {
    // The caller's stream state and position are put back whatever happens,
    // including a stream that was already at its end.
    const std::ios::iostate state = data.rdstate();
    data.clear();
    const std::streampos pos = data.tellg();
    if (pos == std::streampos(-1)) {
        data.clear(state);
        return false;
    }

    std::uint8_t head[4] = {};
    std::streamsize got = 0;
    if (data.seekg(0, std::ios::beg)) {
        data.read(reinterpret_cast<char*>(head), sizeof head);
        got = data.gcount();
    }
    data.clear();
    data.seekg(pos);
    data.clear(state);

    return got == 4 && DetectImageType(head, 4, typeName);
}

TReadResult<std::string> GetTileFileType(const std::string& fileName) {
    auto file = TReadableFile::Open(fileName);
    if (!file) return file.Error();
    std::uint8_t head[4] = {};
    const auto got = file->ReadAt(0, head, sizeof head);
    if (!got) return TReadError{got.Error().Errno, false, fileName + ": " + got.Error().Text};
    std::string typeName;
    DetectImageType(head, *got, typeName);
    return typeName;
}
