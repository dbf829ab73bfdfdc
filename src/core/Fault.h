// Why something failed, as a value: the kind and the details (status, error
// numbers, sizes, paths), never a finished sentence. Each program says it in
// its own language in one place: the command line in English (FaultText), the
// window in Chinese (src/ui ReasonText).
#pragma once

#include <cstdint>
#include <string>

enum class TFaultKind {
    Other,  // Detail says what; it came from below (an exception, a library)
    // Files written or read by the writers.
    BadFileName,     // Path
    CannotCreate,    // Path, Errno or Detail (SQLite's reason)
    CannotWrite,     // Path, Errno or Detail
    CannotReplace,   // Path, Errno
    FileReadOnly,    // Path: marked read-only, so it is not replaced
    // Path, Errno; NotRegular; Detail (the reader's text, naming the file):
    // a file that must be read before it is rewritten (the settings file).
    CannotReadFile,
    CannotReadTile,  // Path (the tile's file), Errno; NotRegular when no regular file
    CannotCompressTile,  // Path, Detail
    CannotReadEntry,     // Path (the tile's key), Detail
    CacheNotFolder,      // Path
    KeyTooLong,          // Path (the file), Detail (the key)
    IndexTooLarge,       // Number (tiles)
    FileTooLarge,        // Path
    CountMismatch,       // Number (tiles), Number2 (the header's count)
    TypeNotInFile,
    InvalidType,
    // A tile's last attempt.
    SourceRefused,           // the settings refuse the tile source
    CacheFolderUncreatable,  // Path, Errno
    RunStopped,
    PauseBeyondLimit,  // HttpStatus, Number (seconds asked)
    AccessRefused,     // HttpStatus
    BadUrl,            // Detail
    Transfer,          // Code (curl's), Detail (curl's own text)
    BodyTooLarge,      // Number (the limit in bytes)
    EmptyAnswer,       // HttpStatus
    PlaceholderPicture,  // HttpStatus: a picture the source sends in place of tiles
    NoImage,           // HttpStatus
    GifPicture,        // HttpStatus
    WrongPictureSize,  // HttpStatus, Number × Number2
    DamagedPicture,    // HttpStatus, Detail (the decoder's)
};

struct TFault {
    TFault() = default;
    explicit TFault(TFaultKind kind, std::string path = {}, int err = 0, std::string detail = {})
        : Kind(kind), Path(std::move(path)), Errno(err), Detail(std::move(detail)) {}

    TFaultKind Kind = TFaultKind::Other;
    std::string Path;
    int Errno = 0;             // the system's error number, 0 for none
    bool NotRegular = false;   // CannotReadTile: a FIFO, device or socket
    int Code = 0;              // Transfer: curl's CURLcode
    long HttpStatus = 0;
    std::int64_t Number = 0;
    std::int64_t Number2 = 0;
    std::string Detail;        // a library's own text, in English

    bool operator==(const TFault&) const = default;
};

inline TFault OtherFault(std::string detail) { return TFault(TFaultKind::Other, {}, 0, std::move(detail)); }

// The English text of the command line and the logs; today's wording.
std::string FaultText(const TFault& fault);
