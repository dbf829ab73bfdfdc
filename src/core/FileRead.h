// How readers report, and the one way files are opened for reading.
//
// Readers (decoders, file loaders, the map data reader) return a TReadResult:
// the value, or the reason it could not be had. Writers throw instead (see
// AtomicFile.h), because a half-done write must unwind.
//
// Files are opened without blocking and only regular files are read, so a
// FIFO or device under a tile's or a document's name can never stall the
// program; whole-file reads are size-capped before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct TReadError {
    int Errno = 0;            // the system's error number; 0 when the content is at fault
    bool NotRegular = false;  // a FIFO, device or socket stands under the name
    std::string Text;         // why, in a form fit for a message
    int Code = 0;             // a library's own error number (curl's), 0 for none
};

template <class T>
class [[nodiscard]] TReadResult {
public:
    TReadResult(T value) : Outcome(std::in_place_index<0>, std::move(value)) {}
    TReadResult(TReadError error) : Outcome(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const { return Outcome.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return std::get<0>(Outcome); }
    const T& operator*() const { return std::get<0>(Outcome); }
    T* operator->() { return &std::get<0>(Outcome); }
    const T* operator->() const { return &std::get<0>(Outcome); }
    // Only for a failed result.
    const TReadError& Error() const { return std::get<1>(Outcome); }

private:
    std::variant<T, TReadError> Outcome;
};

// "" for a success, otherwise the reason: for messages and checks alike.
template <class T>
std::string ErrorText(const TReadResult<T>& result) {
    return result ? std::string() : result.Error().Text;
}

// A reader's plain success.
struct TReadDone {};
using TReadStatus = TReadResult<TReadDone>;

// A content fault (not a system error) with its reason.
inline TReadError ContentError(std::string text) { return {0, false, std::move(text)}; }

// An open regular file; closes itself.
class TReadableFile {
public:
    // Opens without blocking; a directory fails with EISDIR, anything else
    // that is no regular file with NotRegular set.
    static TReadResult<TReadableFile> Open(const std::string& fileName);

    TReadableFile(TReadableFile&& other) noexcept : Fd(std::exchange(other.Fd, -1)), Bytes(other.Bytes) {}
    TReadableFile& operator=(TReadableFile&& other) noexcept;
    ~TReadableFile();

    // Size when opened.
    std::int64_t Size() const { return Bytes; }
    // Reads size bytes at offset, fewer only at the end of the file; gives how many.
    TReadResult<std::size_t> ReadAt(std::int64_t offset, void* data, std::size_t size) const;

private:
    TReadableFile(int fd, std::int64_t size) : Fd(fd), Bytes(size) {}
    int Fd = -1;
    std::int64_t Bytes = 0;
};

// A file the user named, opened; otherwise the message to show: missingText
// when there is none, notOursText when it is no regular file, else the
// system's own text.
TReadResult<TReadableFile> OpenDocument(const std::string& fileName, const std::string& missingText,
                                        const std::string& notOursText);

// The whole of a regular file of at most maxBytes. A larger one is refused
// unread; the error text names the file.
TReadResult<std::vector<std::uint8_t>> ReadRegularFile(const std::string& fileName, std::size_t maxBytes);
