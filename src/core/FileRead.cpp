#include "FileRead.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TReadError SystemError(const std::string& fileName, int err) {
    return {err, false, fileName + ": " + std::strerror(err)};
}

}  // namespace

TReadResult<TReadableFile> TReadableFile::Open(const std::string& fileName) {
    // Non-blocking so that a FIFO cannot stall the open; it is refused below.
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return SystemError(fileName, errno);
    TReadableFile file(fd, 0);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return SystemError(fileName, errno);
    if (S_ISDIR(st.st_mode)) return SystemError(fileName, EISDIR);
    if (!S_ISREG(st.st_mode) || st.st_size < 0) return TReadError{0, true, fileName + ": not a regular file"};
    file.Bytes = std::int64_t(st.st_size);
    return file;
}

TReadableFile& TReadableFile::operator=(TReadableFile&& other) noexcept {
    if (this != &other) {
        if (Fd >= 0) ::close(Fd);
        Fd = std::exchange(other.Fd, -1);
        Bytes = other.Bytes;
    }
    return *this;
}

TReadableFile::~TReadableFile() {
    if (Fd >= 0) ::close(Fd);
}

TReadResult<std::size_t> TReadableFile::ReadAt(std::int64_t offset, void* data, std::size_t size) const {
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(Fd, out + got, size - got, off_t(offset) + off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return TReadError{errno, false, std::strerror(errno)};
        if (n == 0) break;
        got += std::size_t(n);
    }
    return got;
}

TReadResult<TReadableFile> OpenDocument(const std::string& fileName, const std::string& missingText,
                                        const std::string& notOursText) {
    auto file = TReadableFile::Open(fileName);
    if (file) return file;
    const TReadError& e = file.Error();
    if (e.Errno == ENOENT) return ContentError(missingText);
    if (e.NotRegular) return ContentError(notOursText);
    return TReadError{e.Errno, false, std::strerror(e.Errno)};
}

TReadResult<std::vector<std::uint8_t>> ReadRegularFile(const std::string& fileName, std::size_t maxBytes) {
    auto file = TReadableFile::Open(fileName);
    if (!file) return file.Error();
    if (std::uint64_t(file->Size()) > maxBytes)
        return ContentError(fileName + ": file of " + std::to_string(file->Size()) + " bytes is over the limit of " +
                            std::to_string(maxBytes));
    // One byte more than the size tells a file that grew since it was opened.
    std::vector<std::uint8_t> bytes(std::size_t(file->Size()) + 1);
    const auto got = file->ReadAt(0, bytes.data(), bytes.size());
    if (!got) return TReadError{got.Error().Errno, false, fileName + ": " + got.Error().Text};
    if (*got > maxBytes) return ContentError(fileName + ": file grew over the limit of " + std::to_string(maxBytes));
    bytes.resize(*got);
    return bytes;
}
