// Where the program finds its settings file and tile cache.
#pragma once

#include <filesystem>
#include <string>

// Directory of the running executable (from /proc/self/exe), without trailing separator.
std::filesystem::path ProgramDirectory();

struct TDataLocations {
    std::filesystem::path SettingsFile;  // .../AtlasPocket.Ini
    std::string CacheDir;                // .../FileMap/ (with the trailing separator)
};

// Beside the executable when that directory is writable; otherwise
// ~/.config/AtlasPocket/AtlasPocket.Ini and ~/.cache/AtlasPocket/FileMap/.
TDataLocations DefaultDataLocations();
TDataLocations DataLocationsFor(const std::filesystem::path& programDir, const std::filesystem::path& homeDir);

inline constexpr const char* SettingsFileName = "AtlasPocket.Ini";
inline constexpr const char* CacheDirName = "FileMap";
