#include "TileDigest.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>

TTileDigest TileDigest(const std::uint8_t* data, std::size_t size) {
    TTileDigest digest{};
    unsigned int length = 0;
    // Fails only without memory for its context.
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size())
        throw std::bad_alloc();
    return digest;
}

std::string DigestHex(const TTileDigest& digest) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * digest.size());
    for (const std::uint8_t b : digest) {
        out += Hex[b >> 4];
        out += Hex[b & 15];
    }
    return out;
}

void TSameTileCounter::Add(const TTileDigest& digest) {
    std::uint64_t prefix = 0;
    std::memcpy(&prefix, digest.data(), sizeof prefix);
    const std::int64_t count = ++Counts[prefix];
    ++Most.Tiles;
    if (count > Most.Count) {
        Most.Count = count;
        Most.Digest = DigestHex(digest);
    }
}
