#include "MapParamFile.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AtomicFile.h"
#include "LittleEndian.h"

std::array<std::uint8_t, MapParamFileSize> EncodeMapParam(const TMapParamData& d) {
    std::array<std::uint8_t, MapParamFileSize> b{};
    std::uint8_t* p = b.data();
    PutInt32(p + 0, d.CurrentZoom);
    PutInt32(p + 4, d.MaxZoom);
    PutInt32(p + 8, d.TileRect.Left);
    PutInt32(p + 12, d.TileRect.Top);
    PutInt32(p + 16, d.TileRect.Right);
    PutInt32(p + 20, d.TileRect.Bottom);
    PutReal(p + 24, d.CenterLon);
    PutReal(p + 32, d.CenterLat);
    std::memcpy(p + 40, d.Reserved.data(), MapParamReservedSize);
    for (int i = 0; i < MapTypeCount; ++i) p[59 + i] = d.Included[i] ? 1 : 0;
    return b;
}

TMapParamData DecodeMapParam(const std::uint8_t* p) {
    TMapParamData d;
    d.CurrentZoom = GetInt32(p + 0);
    d.MaxZoom = GetInt32(p + 4);
    d.TileRect = {GetInt32(p + 8), GetInt32(p + 12), GetInt32(p + 16), GetInt32(p + 20)};
    d.CenterLon = GetReal(p + 24);
    d.CenterLat = GetReal(p + 32);
    std::memcpy(d.Reserved.data(), p + 40, MapParamReservedSize);
    for (int i = 0; i < MapTypeCount; ++i) d.Included[i] = p[59 + i] != 0;
    return d;
}

void SaveMapParamFile(const std::string& fileName, const TMapParamData& data) {
    const auto bytes = EncodeMapParam(data);
    TAtomicFile file(fileName);
    file.Write(bytes.data(), bytes.size());
    file.Commit();
}

std::string LoadMapParamFile(const std::string& fileName, TMapParamData& data) {
    // Non-blocking so that a FIFO cannot hang the window.
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? MapParamMissingText : std::strerror(errno);
    std::uint8_t bytes[MapParamFileSize];
    std::size_t got = 0;
    std::string error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        error = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        error = MapParamDamagedText;
    } else {
        while (got < MapParamFileSize) {
            const ssize_t n = ::read(fd, bytes + got, MapParamFileSize - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                error = std::strerror(errno);
                break;
            }
            if (n == 0) break;
            got += std::size_t(n);
        }
    }
    ::close(fd);
    if (!error.empty()) return error;
    if (got < MapParamFileSize) return MapParamDamagedText;
    const TMapParamData d = DecodeMapParam(bytes);
    auto zoomOk = [](std::int32_t z) { return z >= MinMapZoom && z <= MaxMapZoom; };
    if (!zoomOk(d.CurrentZoom) || !zoomOk(d.MaxZoom) || !std::isfinite(d.CenterLon) || !std::isfinite(d.CenterLat))
        return MapParamDamagedText;
    data = d;
    return {};
}
