// Scratch files for targets whose code under test reads from a path. Each
// process gets its own directory, so parallel runs never share one. libFuzzer
// ends without running exit handlers, so the directory lives under
// $ATLAS_FUZZ_TMP, which scripts/fuzz removes; otherwise in memory where
// possible, since the writers under test fsync.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

inline const std::filesystem::path& ScratchDir() {
    static const std::filesystem::path dir = [] {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (const char* env = std::getenv("ATLAS_FUZZ_TMP"); env && *env)
            base = env;
        else if (!std::filesystem::is_directory(base, ec))
            base = std::filesystem::temp_directory_path();
        std::string pattern = (base / "atlasfuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return std::filesystem::path(pattern);
    }();
    return dir;
}

// Replaces the scratch file name with exactly these bytes.
inline std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path p = ScratchDir() / name;
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
    return p.string();
}

// A failed expectation is a finding: abort so libFuzzer keeps the input.
inline void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "expectation failed: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzz
