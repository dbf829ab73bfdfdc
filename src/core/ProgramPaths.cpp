#include "ProgramPaths.h"

#include <unistd.h>

#include <cstdlib>

namespace {

// Directory of the running executable (from /proc/self/exe).
std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

bool DirectoryWritable(const std::filesystem::path& dir) {
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// True when dir is root or lies below it.
bool Within(const std::filesystem::path& dir, const std::filesystem::path& root) {
    if (root.empty()) return false;
    std::error_code ec;
    const auto rel =
        std::filesystem::weakly_canonical(dir, ec).lexically_relative(std::filesystem::weakly_canonical(root, ec));
    return !rel.empty() && *rel.begin() != "..";
}

TDataLocations Beside(const std::filesystem::path& dir) {
    return {dir / SettingsFileName, FolderText(dir / CacheDirName)};
}

}  // namespace

std::string FolderText(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::filesystem::path BuildTreeDirectory() { return ATLAS_BUILD_TREE; }

bool IsInstalledProgramDir(const std::filesystem::path& programDir) {
    std::error_code ec;
    return std::filesystem::is_regular_file(programDir.parent_path() / ATLAS_INSTALL_MARKER, ec);
}

TDataLocations DataLocationsFor(const std::filesystem::path& programDir, const std::filesystem::path& homeDir,
                                const std::filesystem::path& buildTree) {
    if (!IsInstalledProgramDir(programDir)) {
        const std::filesystem::path dir = Within(programDir, buildTree) ? buildTree : programDir;
        if (DirectoryWritable(dir)) return Beside(dir);
    }
    TDataLocations loc;
    loc.SettingsFile = homeDir / ".config" / "AtlasPocket" / SettingsFileName;
    loc.CacheDir = FolderText(homeDir / ".cache" / "AtlasPocket" / CacheDirName);
    return loc;
}

TDataLocations DefaultDataLocations() {
    const char* home = std::getenv("HOME");
    return DataLocationsFor(ProgramDirectory(), home && *home ? home : "/tmp");
}
