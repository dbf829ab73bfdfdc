#include "MapdataTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "TileImage.h"

TBitmap MakeTilePicture(int seed, int width, int height) {
    TBitmap b(width, height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = b.Row(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x + 0] = std::uint8_t((x + seed * 37) & 0xFF);
            row[3 * x + 1] = std::uint8_t((y + seed * 59) & 0xFF);
            row[3 * x + 2] = std::uint8_t((seed * 91) & 0xFF);
        }
    }
    return b;
}

std::vector<std::uint8_t> PngBytes(const TBitmap& picture) {
    auto out = EncodePng(picture);
    if (out.empty()) throw std::runtime_error("png write");
    return out;
}

std::vector<std::uint8_t> JpegBytes(const TBitmap& picture) {
    std::vector<std::uint8_t> out = EncodeJpeg(picture, 95);
    if (out.empty()) throw std::runtime_error("jpeg encode");
    return out;
}

std::vector<std::uint8_t> ReadBytes(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& fileName, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + fileName);
}

double MeanDifference(const TBitmap& a, const TBitmap& b) {
    if (a.Width != b.Width || a.Height != b.Height || a.Rgb.size() != b.Rgb.size()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.Rgb.size(); ++i) sum += std::abs(int(a.Rgb[i]) - int(b.Rgb[i]));
    return a.Rgb.empty() ? 0 : sum / double(a.Rgb.size());
}

std::vector<std::string> DirectoryNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> CraftedMapData(TMapDataHeader header, const std::vector<std::string>& keys) {
    header.EntryCount = std::int32_t(keys.size());
    std::vector<std::uint8_t> file(MapDataSignature.begin(), MapDataSignature.end());
    const auto head = EncodeMapDataHeader(header);
    file.insert(file.end(), head.begin(), head.end());
    const auto imagesStart = std::int32_t(MapDataIndexStart + MapDataEntrySize * std::int64_t(keys.size()));
    for (const std::string& key : keys) {
        std::uint8_t entry[MapDataEntrySize];
        if (!EncodeMapDataEntry(key, imagesStart, entry)) throw std::invalid_argument("key too long: " + key);
        file.insert(file.end(), entry, entry + sizeof entry);
    }
    return file;
}
