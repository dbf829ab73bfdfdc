#include "MapParamFile.h"

#include <cerrno>
#include <cmath>
#include <cstring>

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

TReadResult<TMapParamData> LoadMapParamFile(const std::string& fileName) {
    auto file = OpenDocument(fileName, MapParamMissingText, MapParamDamagedText);
    if (!file) return file.Error();
    std::uint8_t bytes[MapParamFileSize];
    const auto got = file->ReadAt(0, bytes, MapParamFileSize);
    if (!got) return TReadError{got.Error().Errno, false, std::strerror(got.Error().Errno)};
    if (*got < MapParamFileSize) return ContentError(MapParamDamagedText);
    const TMapParamData d = DecodeMapParam(bytes);
    auto zoomOk = [](std::int32_t z) { return z >= MinMapZoom && z <= MaxMapZoom; };
    if (!zoomOk(d.CurrentZoom) || !zoomOk(d.MaxZoom) || !std::isfinite(d.CenterLon) || !std::isfinite(d.CenterLat))
        return ContentError(MapParamDamagedText);
    return d;
}
