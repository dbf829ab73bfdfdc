// SHA-256 digests of tile bodies: how a source's known placeholder pictures
// (PLACEHOLDER_X) are recognised, and how a run finds many tiles that are
// byte for byte the same picture, which is how a "no data" or ban picture
// served in place of the map shows itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

using TTileDigest = std::array<std::uint8_t, 32>;

TTileDigest TileDigest(const std::uint8_t* data, std::size_t size);
inline TTileDigest TileDigest(const std::vector<std::uint8_t>& bytes) { return TileDigest(bytes.data(), bytes.size()); }
// 64 lower-case hex digits, the spelling PLACEHOLDER_X takes.
std::string DigestHex(const TTileDigest& digest);

// A picture shared by at least this many tiles, and by at least this share of
// a type's tiles, is worth a word after a run. A uniform sea or blank land
// reaches it too, so it is reported, never refused.
inline constexpr std::int64_t ManySameTilesMin = 10;
inline constexpr std::int64_t ManySameTilesPercent = 10;

// The most common body among the tiles counted.
struct TSameTiles {
    std::int64_t Count = 0;   // tiles with that body
    std::int64_t Tiles = 0;   // tiles counted
    std::string Digest;       // its SHA-256 in hex; empty before any tile
    bool Many() const {
        return Count >= ManySameTilesMin && Count * 100 >= Tiles * ManySameTilesPercent;
    }
    bool operator==(const TSameTiles&) const = default;
};

// Counts bodies by digest. A tile costs one map entry of its digest's first
// eight bytes, which tell bodies apart as well as the whole digest in practice.
class TSameTileCounter {
public:
    void Add(const TTileDigest& digest);
    const TSameTiles& Result() const { return Most; }

private:
    std::unordered_map<std::uint64_t, std::int64_t> Counts;
    TSameTiles Most;
};
