// Helpers of the mapdata tests: real tile files and file contents.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Bitmap.h"
#include "MapDataFile.h"
#include "TempDir.h"

// A 256x256 picture with a gradient and a colour given by seed, so that tiles differ.
TBitmap MakeTilePicture(int seed, int width = 256, int height = 256);
// Bytes of the picture as PNG (libpng) or as JPEG.
std::vector<std::uint8_t> PngBytes(const TBitmap& picture);
std::vector<std::uint8_t> JpegBytes(const TBitmap& picture);

std::vector<std::uint8_t> ReadBytes(const std::string& fileName);
void WriteBytes(const std::string& fileName, const std::vector<std::uint8_t>& bytes);

// A map data file with this header whose index holds these keys, every
// image empty; EntryCount becomes the number of keys.
std::vector<std::uint8_t> CraftedMapData(TMapDataHeader header, const std::vector<std::string>& keys);

// Mean absolute difference per channel; a large value for different sizes.
double MeanDifference(const TBitmap& a, const TBitmap& b);

// Names in a directory, sorted.
std::vector<std::string> DirectoryNames(const std::filesystem::path& dir);
