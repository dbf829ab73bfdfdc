// A fresh directory under the system's temporary directory, removed with
// everything in it when the helper goes.
#pragma once

#include <filesystem>
#include <string>

class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return Root; }
    // The directory as a string with a trailing separator, the form cache directories take.
    std::string DirString() const { return Root.string() + "/"; }
    std::filesystem::path operator/(const std::string& name) const { return Root / name; }

private:
    std::filesystem::path Root;
};
