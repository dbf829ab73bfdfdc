#include "TileCache.h"

#include "AtlasAppType.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Closes the descriptor on every path.
struct TFdGuard {
    int Fd = -1;
    ~TFdGuard() {
        if (Fd >= 0) ::close(Fd);
    }
};

}  // namespace

std::string TileFileName(std::string_view typeCode, std::int32_t zoom, std::int32_t x, std::int32_t y) {
    std::string name(typeCode);
    name += '_';
    name += std::to_string(zoom);
    name += '-';
    name += std::to_string(x);
    name += '-';
    name += std::to_string(y);
    name += ".gif";
    return name;
}

std::string TileCachePath(const std::string& cacheDir, const TServerConfig& server, std::string_view typeCode,
                          std::int32_t zoom, std::int32_t x, std::int32_t y) {
    std::string path = cacheDir;
    if (!path.empty() && path.back() != '/') path += '/';
    if (const int type = MapTypeIndex(typeCode); HasOwnTemplate(server, type))
        path += SourceDigest(server.UrlTemplates[std::size_t(type)]) + '/';
    return path + TileFileName(typeCode, zoom, x, y);
}

TTileAddress ParseTileFileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view rest = slash == std::string_view::npos ? path : path.substr(slash + 1);

    TTileAddress a;
    a.TypeCode = std::string(TakeUntil(rest, '_'));
    a.Zoom = IntOrZero(TakeUntil(rest, '-'));
    a.X = IntOrZero(TakeUntil(rest, '-'));
    a.Y = IntOrZero(TakeUntil(rest, '.'));
    return a;
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

TFileTypeResult GetTileFileType(const std::string& fileName) {
    TFileTypeResult result;
    // Non-blocking so that a FIFO under a tile's name cannot stall the open.
    TFdGuard file{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.Fd < 0) {
        result.Error = fileName + ": " + std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(file.Fd, &st) != 0) {
        result.Error = fileName + ": " + std::strerror(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.Error = fileName + ": not a regular file";
        return result;
    }
    result.Opened = true;

    std::uint8_t head[4] = {};
    std::size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = ::pread(file.Fd, head + got, sizeof head - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.Opened = false;
            result.Error = fileName + ": " + std::strerror(errno);
            return result;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    result.Recognised = DetectImageType(head, got, result.TypeName);
    return result;
}
