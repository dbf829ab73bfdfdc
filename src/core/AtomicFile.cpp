#include "AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ProgramPaths.h"

namespace {

constexpr std::string_view TempMarker = ".atlaspocket-";
constexpr std::string_view TempSuffix = ".tmp";

std::atomic<unsigned> TempSerial{0};

bool AllDigits(std::string_view s) {
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
    if (s.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char a = s[s.size() - tail.size() + i], b = tail[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The writer's process id of a temporary name of ours, or 0.
long TemporaryNamePid(std::string_view name) {
    if (name.size() < 2 || name[0] != '.' || !EndsWithNoCase(name, TempSuffix)) return 0;
    name.remove_suffix(TempSuffix.size());
    if (const auto at = name.rfind(TempMarker); at != std::string_view::npos && at > 1) {
        const std::string_view ids = name.substr(at + TempMarker.size());
        const auto dash = ids.find('-');
        if (dash == std::string_view::npos || !AllDigits(ids.substr(0, dash)) || !AllDigits(ids.substr(dash + 1))) return 0;
        return std::stol(std::string(ids.substr(0, dash)));
    }
    // Earlier versions: ".NAME.PID.SERIAL.tmp", only for the files they wrote there.
    const auto serialDot = name.rfind('.');
    if (serialDot == std::string_view::npos || !AllDigits(name.substr(serialDot + 1))) return 0;
    const auto pidDot = name.rfind('.', serialDot - 1);
    if (pidDot == std::string_view::npos || pidDot < 2 || !AllDigits(name.substr(pidDot + 1, serialDot - pidDot - 1)))
        return 0;
    const std::string_view base = name.substr(1, pidDot - 1);
    if (!EndsWithNoCase(base, ".gif") && !EndsWithNoCase(base, ".dat")) return 0;
    return std::stol(std::string(name.substr(pidDot + 1, serialDot - pidDot - 1)));
}

}  // namespace

std::string TemporaryNameFor(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + base + std::string(TempMarker) + std::to_string(::getpid()) + "-" +
           std::to_string(TempSerial.fetch_add(1)) + std::string(TempSuffix);
}

int RemoveStaleTemporaryFiles(const std::string& dir) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return 0;
    int removed = 0;
    const std::string prefix = FolderText(dir);
    while (const dirent* e = ::readdir(d)) {
        const long pid = TemporaryNamePid(e->d_name);
        // Our own files are writes under way; a live process may still be writing.
        if (pid <= 0 || pid == ::getpid() || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string path = prefix + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) ++removed;
    }
    ::closedir(d);
    return removed;
}

namespace {

// Creates target's temporary file, named into temp; throws TFileError.
int CreateTemporaryFile(const std::string& target, std::string& temp) {
    if (target.empty() || target.back() == '/') throw TFileError(TFault(TFaultKind::BadFileName, target));
    // Same directory as the target so that the final rename cannot cross file
    // systems; mode 0666 lets the umask decide, as for any new file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = TemporaryNameFor(target);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            const int err = errno;
            temp.clear();
            throw TFileError(TFault(TFaultKind::CannotCreate, target, err));
        }
    }
    temp.clear();
    throw TFileError(TFault(TFaultKind::CannotCreate, target, EEXIST));
}

}  // namespace

void WriteWholeFileUnsynced(const std::string& target, const void* data, std::size_t size) {
    std::string temp;
    const int fd = CreateTemporaryFile(target, temp);
    const auto fail = [&](TFaultKind kind, int err) {
        ::unlink(temp.c_str());
        throw TFileError(TFault(kind, target, err));
    };
    for (const auto* p = static_cast<const std::uint8_t*>(data); size > 0;) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            fail(TFaultKind::CannotWrite, err);
        }
        p += n;
        size -= std::size_t(n);
    }
    if (::close(fd) != 0) fail(TFaultKind::CannotWrite, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) fail(TFaultKind::CannotReplace, errno);
}

bool SyncFileSystem(const std::string& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::syncfs(fd) == 0;
    ::close(fd);
    return synced;
}

TAtomicFile::TAtomicFile(std::string target) : Target(std::move(target)) {
    Fd = CreateTemporaryFile(Target, Temp);
    struct stat old {};
    if (::stat(Target.c_str(), &old) == 0) ::fchmod(Fd, old.st_mode & 07777);
    Buffer = std::make_unique<std::uint8_t[]>(BufferSize);
}

TAtomicFile::~TAtomicFile() {
    if (Fd >= 0) ::close(Fd);
    if (!Committed && !Temp.empty()) ::unlink(Temp.c_str());
}

void TAtomicFile::Fail(TFaultKind kind, int err) const {
    throw TFileError(TFault(kind, Target, err));
}

void TAtomicFile::WriteAll(std::int64_t offset, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::pwrite(Fd, data, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(TFaultKind::CannotWrite, errno);
        }
        if (n == 0) Fail(TFaultKind::CannotWrite, EIO);
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
    if (Fd < 0) Fail(TFaultKind::CannotWrite, EBADF);
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
    if (Fd < 0) Fail(TFaultKind::CannotWrite, EBADF);
    if (offset < 0 || offset + std::int64_t(size) > Pos) Fail(TFaultKind::CannotWrite, EINVAL);
    Flush();
    WriteAll(offset, static_cast<const std::uint8_t*>(data), size);
}

void TAtomicFile::Commit() {
    if (Fd < 0) Fail(TFaultKind::CannotWrite, EBADF);
    Flush();
    // The data must be on disk before the name points at it, or a crash could
    // leave an empty file where the old one was.
    if (::fsync(Fd) != 0) Fail(TFaultKind::CannotWrite, errno);
    const int fd = Fd;
    Fd = -1;
    if (::close(fd) != 0) Fail(TFaultKind::CannotWrite, errno);
    if (::rename(Temp.c_str(), Target.c_str()) != 0) Fail(TFaultKind::CannotReplace, errno);
    Committed = true;
}
