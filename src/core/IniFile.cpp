#include "IniFile.h"

#include "AtomicFile.h"
#include "FileRead.h"
#include "NumberFormat.h"

#include <sys/stat.h>

#include <sstream>
#include <vector>

namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// "[name]" -> name; anything else -> nothing.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return TrimBlanks(t.substr(1, close - 1));
}

// "key=value" -> key; comments and other lines -> nothing.
std::optional<std::string> KeyName(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return std::nullopt;
    const auto eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return TrimBlanks(t.substr(0, eq));
}

// No settings file comes near this; a larger one is not ours to rewrite.
constexpr std::size_t MaxIniFileBytes = std::size_t(4) << 20;

TReadResult<std::vector<std::string>> ReadLines(const std::filesystem::path& path) {
    const auto bytes = ReadRegularFile(path.string(), MaxIniFileBytes);
    if (!bytes) return bytes.Error();
    std::vector<std::string> lines;
    std::istringstream in(std::string(bytes->begin(), bytes->end()));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::optional<std::string> TIniFile::ReadString(const std::string& section, const std::string& key) const {
    const auto lines = ReadLines(Path);
    if (!lines) return std::nullopt;
    bool inSection = false;
    for (const auto& line : *lines) {
        if (auto s = SectionName(line)) {
            inSection = SameName(*s, section);
            continue;
        }
        if (!inSection) continue;
        if (auto k = KeyName(line); k && SameName(*k, key)) {
            return TrimBlanks(line.substr(line.find('=') + 1));
        }
    }
    return std::nullopt;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    std::vector<std::string> lines;
    std::error_code ec;
    if (std::filesystem::exists(Path, ec)) {
        auto read = ReadLines(Path);
        // Never replace a file we could not read.
        if (!read) {
            TFault why(TFaultKind::CannotReadFile, Path.string(), read.Error().Errno, read.Error().Text);
            why.NotRegular = read.Error().NotRegular;
            throw TFileError(why);
        }
        lines = std::move(*read);
    }
    const std::string entry = key + "=" + value;
    bool inSection = false;
    std::optional<size_t> sectionEnd;  // index after the last line of the section
    bool done = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto s = SectionName(lines[i])) {
            if (inSection) break;
            inSection = SameName(*s, section);
            if (inSection) sectionEnd = i + 1;
            continue;
        }
        if (!inSection) continue;
        if (auto k = KeyName(lines[i])) {
            if (SameName(*k, key)) {
                lines[i] = entry;
                done = true;
            }
        }
        if (!TrimBlanks(lines[i]).empty()) sectionEnd = i + 1;
    }
    if (!done) {
        if (sectionEnd) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), entry);
        } else {
            if (!lines.empty() && !TrimBlanks(lines.back()).empty()) lines.emplace_back();
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        }
    }
    std::string data;
    for (const auto& l : lines) data += l + "\r\n";
    WriteFileAtomically(Path, data);
}

void WriteFileAtomically(const std::filesystem::path& path, const std::string& data) {
    // A file marked read-only is refused, as the rename would otherwise replace it.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && (old.st_mode & S_IWUSR) == 0)
        throw TFileError(TFault(TFaultKind::FileReadOnly, path.string()));
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);  // fallback location
    TAtomicFile file(path.string());
    file.Write(data.data(), data.size());
    file.Commit();
}
