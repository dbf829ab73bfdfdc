// Field-by-field little-endian access for the binary files, independent of
// the host's byte order and of alignment.
#pragma once

#include <bit>
#include <cstdint>

inline void PutUInt32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
inline std::uint32_t GetUInt32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline void PutInt32(std::uint8_t* p, std::int32_t v) { PutUInt32(p, std::uint32_t(v)); }
inline std::int32_t GetInt32(const std::uint8_t* p) { return std::int32_t(GetUInt32(p)); }

inline void PutReal(std::uint8_t* p, double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    PutUInt32(p, std::uint32_t(bits));
    PutUInt32(p + 4, std::uint32_t(bits >> 32));
}
inline double GetReal(const std::uint8_t* p) {
    return std::bit_cast<double>(std::uint64_t(GetUInt32(p)) | std::uint64_t(GetUInt32(p + 4)) << 32);
}
