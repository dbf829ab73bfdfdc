// Where the program finds its settings file and tile cache.
#pragma once

#include <filesystem>
#include <string>

// Folders travel as text ending in '/', so that a file's path is the folder
// followed by its name; an empty folder (the current one) stays empty.
std::string FolderText(std::string dir);

struct TDataLocations {
    std::filesystem::path SettingsFile;  // .../AtlasPocket.Ini
    std::string CacheDir;                // .../FileMap/ (with the trailing separator)
};

// The build tree this program was compiled in.
std::filesystem::path BuildTreeDirectory();

// Where a program directory keeps its data:
// - installed (the install marker lies under ../share beside it):
//   ~/.config/AtlasPocket/AtlasPocket.Ini and ~/.cache/AtlasPocket/FileMap/,
//   whatever the directory's permissions (root may write anywhere);
// - inside the build tree buildTree: its top, so the window and the CLI,
//   built into different folders, share one settings file and cache;
// - anywhere else (a copied program directory): beside the executable;
// and the per-user locations whenever the chosen directory is not writable.
TDataLocations DataLocationsFor(const std::filesystem::path& programDir, const std::filesystem::path& homeDir,
                                const std::filesystem::path& buildTree = BuildTreeDirectory());
TDataLocations DefaultDataLocations();

// True when the install marker lies where an installed program directory has it.
bool IsInstalledProgramDir(const std::filesystem::path& programDir);

inline constexpr const char* SettingsFileName = "AtlasPocket.Ini";
inline constexpr const char* CacheDirName = "FileMap";
