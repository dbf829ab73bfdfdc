// Whole-file replacement for the files the program writes: the bytes go to a
// temporary file beside the target, which is renamed over the target only by
// Commit. Destroying an uncommitted file removes the temporary file, so a
// failure (or an exception from anywhere in between) leaves the target as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <stdexcept>

#include "Fault.h"

// A failed file operation. Fault says why, for each program to say in its
// language; what() is the English text.
class TFileError : public std::runtime_error {
public:
    explicit TFileError(TFault fault) : std::runtime_error(FaultText(fault)), Errno(fault.Errno), Fault(std::move(fault)) {}
    // A cause from below, already a text.
    explicit TFileError(const std::string& message) : TFileError(OtherFault(message)) {}
    // The system's error number behind it, 0 when none: a full disk is told
    // from a bad name by it.
    int Errno = 0;
    TFault Fault;
};

// The temporary name a write to target uses: hidden, in target's directory,
// carrying the writer's process id so that leftovers of a crash can be told
// from a write under way: ".NAME.atlaspocket-PID-SERIAL.tmp".
std::string TemporaryNameFor(const std::string& target);
// Removes the temporary files of ours in dir whose process is gone (earlier
// versions' ".NAME.PID.SERIAL.tmp" leftovers of tiles and map data files
// too). Never throws; returns how many it removed.
int RemoveStaleTemporaryFiles(const std::string& dir);

// A small file written whole in one call, e.g. a tile: the temporary name and
// rename of TAtomicFile, but no sync and no mode taken from the old file. A
// power cut may leave the name holding an empty or torn file, so readers
// check what they find before trusting it, and the writer's owner syncs the
// file system once at the end (SyncFileSystem). Throws TFileError; after a
// failure the temporary file is gone and the target untouched.
void WriteWholeFileUnsynced(const std::string& target, const void* data, std::size_t size);
// Writes everything the file system holding dir has pending to disk (syncfs).
// False when dir cannot be opened or the sync fails.
bool SyncFileSystem(const std::string& dir);

class TAtomicFile {
public:
    // Creates the temporary file (with the mode of the file it will replace);
    // throws TFileError with the cause.
    explicit TAtomicFile(std::string target);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // Appends through a buffer; a block at least as large as the buffer goes
    // out in one call. Throws TFileError.
    void Write(const void* data, std::size_t size);
    // Overwrites bytes already written (the index patched at the end).
    void WriteAt(std::int64_t offset, const void* data, std::size_t size);
    // Bytes appended so far.
    std::int64_t Position() const { return Pos; }
    // The temporary file, for a writer that fills it through a library of its
    // own (SQLite). That writer must close its handles before Commit or
    // destruction close this one: closing any descriptor of a file drops the
    // process's fcntl locks on it.
    const std::string& TemporaryPath() const { return Temp; }

    // Flushes, syncs, closes and renames over the target. Throws TFileError;
    // after a failure the temporary file is gone and the target untouched.
    void Commit();

private:
    void Flush();
    void WriteAll(std::int64_t offset, const std::uint8_t* data, std::size_t size);
    [[noreturn]] void Fail(TFaultKind kind, int err) const;

    static constexpr std::size_t BufferSize = 1 << 20;

    std::string Target;
    std::string Temp;
    int Fd = -1;
    std::int64_t Pos = 0;      // logical end: flushed bytes plus buffered ones
    std::int64_t Flushed = 0;  // bytes already on the file
    std::unique_ptr<std::uint8_t[]> Buffer;
    std::size_t Buffered = 0;
    bool Committed = false;
};
