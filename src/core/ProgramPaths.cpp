#include "ProgramPaths.h"

#include <unistd.h>

#include <cstdlib>

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

namespace {

bool DirectoryWritable(const std::filesystem::path& dir) {
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string WithSeparator(const std::filesystem::path& p) {
    std::string s = p.string();
    if (s.empty() || s.back() != '/') s += '/';
    return s;
}

}  // namespace

TDataLocations DataLocationsFor(const std::filesystem::path& programDir, const std::filesystem::path& homeDir) {
    if (DirectoryWritable(programDir))
        return {programDir / SettingsFileName, WithSeparator(programDir / CacheDirName)};
    TDataLocations loc;
    loc.SettingsFile = homeDir / ".config" / "AtlasPocket" / SettingsFileName;
    loc.CacheDir = WithSeparator(homeDir / ".cache" / "AtlasPocket" / CacheDirName);
    return loc;
}

TDataLocations DefaultDataLocations() {
    const char* home = std::getenv("HOME");
    return DataLocationsFor(ProgramDirectory(), home && *home ? home : "/tmp");
}
