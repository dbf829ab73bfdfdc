// Private-profile (INI) files with the semantics the settings file relies on:
// a write replaces the key in place or adds section and key, keeps every other
// line (foreign sections, comments) as it was, and replaces the file atomically.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

class TIniFile {
public:
    explicit TIniFile(std::filesystem::path path) : Path(std::move(path)) {}

    const std::filesystem::path& FileName() const { return Path; }

    // The value under section/key (names compared without regard to ASCII case,
    // value trimmed of surrounding blanks), or nothing when the file, section
    // or key is missing or the file cannot be read.
    std::optional<std::string> ReadString(const std::string& section, const std::string& key) const;

    // Creates the file on first write. Throws TFileError with the cause when
    // the file cannot be read or written; the old file is then left untouched.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    std::filesystem::path Path;
};

// Writes data to path through a temporary file in the same directory and a
// rename, so readers see either the old or the complete new content. Throws
// TFileError with the cause.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& data);
