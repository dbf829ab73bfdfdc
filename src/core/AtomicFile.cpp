#include "AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

std::atomic<unsigned> TempSerial{0};

}  // namespace

std::string AtomicTempName(const std::string& target) {
    const unsigned serial = TempSerial.fetch_add(1);
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + base + "." + std::to_string(::getpid()) + "." + std::to_string(serial) + ".tmp";
}

TAtomicFile::TAtomicFile(std::string target) : Target(std::move(target)) {
    if (Target.empty() || Target.back() == '/') throw TFileError("无法创建文件 \"" + Target + "\": 文件名无效");
    // Same directory as the target so that the final rename cannot cross file
    // systems; mode 0666 lets the umask decide, as for any new file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        Temp = AtomicTempName(Target);
        Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Fd >= 0) break;
        if (errno != EEXIST) {
            const int err = errno;
            Temp.clear();
            throw TFileError("无法创建文件 \"" + Target + "\": " + ErrnoText(err));
        }
    }
    if (Fd < 0) {
        Temp.clear();
        throw TFileError("无法创建文件 \"" + Target + "\": " + ErrnoText(EEXIST));
    }
    struct stat old {};
    if (::stat(Target.c_str(), &old) == 0) ::fchmod(Fd, old.st_mode & 07777);
    Buffer = std::make_unique<std::uint8_t[]>(BufferSize);
}

TAtomicFile::~TAtomicFile() {
    if (Fd >= 0) ::close(Fd);
    if (!Committed && !Temp.empty()) ::unlink(Temp.c_str());
}

void TAtomicFile::Fail(const std::string& what, int err) const {
    throw TFileError(what + " \"" + Target + "\": " + ErrnoText(err));
}

void TAtomicFile::WriteAll(std::int64_t offset, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::pwrite(Fd, data, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("无法写入文件", errno);
        }
        if (n == 0) Fail("无法写入文件", EIO);
        data += n;
        size -= std::size_t(n);
        offset += n;
    }
}

void TAtomicFile::Flush() {
    if (Buffered == 0) return;
    WriteAll(Flushed, Buffer.get(), Buffered);
    Flushed += std::int64_t(Buffered);
    Buffered = 0;
}

void TAtomicFile::Write(const void* data, std::size_t size) {
    if (Fd < 0) Fail("无法写入文件", EBADF);
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (size > BufferSize - Buffered) {
        Flush();
        if (size >= BufferSize) {
            WriteAll(Flushed, p, size);
            Flushed += std::int64_t(size);
            Pos = Flushed;
            return;
        }
    }
    std::memcpy(Buffer.get() + Buffered, p, size);
    Buffered += size;
    Pos += std::int64_t(size);
}

void TAtomicFile::WriteAt(std::int64_t offset, const void* data, std::size_t size) {
    if (Fd < 0) Fail("无法写入文件", EBADF);
    if (offset < 0 || offset + std::int64_t(size) > Pos) Fail("无法写入文件", EINVAL);
    Flush();
    WriteAll(offset, static_cast<const std::uint8_t*>(data), size);
}

void TAtomicFile::Commit() {
    if (Fd < 0) Fail("无法写入文件", EBADF);
    Flush();
    // The data must be on disk before the name points at it, or a crash could
    // leave an empty file where the old one was.
    if (::fsync(Fd) != 0) Fail("无法写入文件", errno);
    const int fd = Fd;
    Fd = -1;
    if (::close(fd) != 0) Fail("无法写入文件", errno);
    if (::rename(Temp.c_str(), Target.c_str()) != 0) Fail("无法替换文件", errno);
    Committed = true;
}
