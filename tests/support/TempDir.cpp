#include "TempDir.h"

#include <stdlib.h>

#include <stdexcept>
#include <vector>

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "atlas-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    Root = buffer.data();
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
}
