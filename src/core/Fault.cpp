#include "Fault.h"

#include <cstring>

namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
std::string Http(long status) { return "HTTP " + std::to_string(status); }
// The system's reason, or the library's when there is no error number.
std::string Cause(const TFault& f) { return f.Errno != 0 ? std::string(std::strerror(f.Errno)) : f.Detail; }

}  // namespace

std::string FaultText(const TFault& f) {
    switch (f.Kind) {
    case TFaultKind::Other: return f.Detail;
    case TFaultKind::BadFileName: return "cannot create " + Quoted(f.Path) + ": not a file name";
    case TFaultKind::CannotCreate: return "cannot create " + Quoted(f.Path) + ": " + Cause(f);
    case TFaultKind::CannotWrite: return "cannot write " + Quoted(f.Path) + ": " + Cause(f);
    case TFaultKind::CannotReplace: return "cannot replace " + Quoted(f.Path) + ": " + Cause(f);
    case TFaultKind::FileReadOnly: return f.Path + ": the file is marked read-only";
    case TFaultKind::CannotReadFile: return f.Detail;
    case TFaultKind::CannotReadTile:
        return "cannot read the tile file " + Quoted(f.Path) + ": " + (f.NotRegular ? "not a regular file" : Cause(f));
    case TFaultKind::CannotCompressTile: return "cannot compress the tile " + Quoted(f.Path) + ": " + f.Detail;
    case TFaultKind::CannotReadEntry: return "cannot read the tile " + f.Path + ": " + f.Detail;
    case TFaultKind::CacheNotFolder: return "the tile cache " + Quoted(f.Path) + " is not a folder";
    case TFaultKind::KeyTooLong: return "the tile key " + Quoted(f.Detail) + " is too long for " + Quoted(f.Path);
    case TFaultKind::IndexTooLarge:
        return "map data file too large: the index of " + std::to_string(f.Number) + " tiles exceeds 2 GB";
    case TFaultKind::FileTooLarge: return "the map data file " + Quoted(f.Path) + " would exceed 2 GB";
    case TFaultKind::CountMismatch:
        return std::to_string(f.Number) + " tiles, but the header's EntryCount is " + std::to_string(f.Number2);
    case TFaultKind::TypeNotInFile: return "the map data file does not hold this map type";
    case TFaultKind::InvalidType: return "invalid map type";
    case TFaultKind::SourceRefused: return "the settings refuse this tile source";
    case TFaultKind::CacheFolderUncreatable:
        return "cannot create the cache folder " + f.Path + (f.Errno ? ": " + std::string(std::strerror(f.Errno)) : "");
    case TFaultKind::RunStopped: return "the run has stopped";
    case TFaultKind::PauseBeyondLimit:
        return Http(f.HttpStatus) + ", asked to wait " + std::to_string(f.Number) + " s, beyond the run's limit of pauses";
    case TFaultKind::AccessRefused: return Http(f.HttpStatus) + ", the tile service refuses access";
    case TFaultKind::BadUrl: return f.Detail;
    case TFaultKind::Transfer: return f.Detail;
    case TFaultKind::BodyTooLarge: return "body larger than " + std::to_string(f.Number) + " bytes";
    case TFaultKind::EmptyAnswer: return Http(f.HttpStatus) + ", empty answer";
    case TFaultKind::PlaceholderPicture: return Http(f.HttpStatus) + ", placeholder picture";
    case TFaultKind::NoImage: return Http(f.HttpStatus) + ", the answer is no image";
    case TFaultKind::GifPicture: return Http(f.HttpStatus) + ", GIF picture, which cannot be decoded";
    case TFaultKind::WrongPictureSize:
        return Http(f.HttpStatus) + ", picture " + std::to_string(f.Number) + "×" + std::to_string(f.Number2);
    case TFaultKind::DamagedPicture: return Http(f.HttpStatus) + ", damaged picture: " + f.Detail;
    }
    return f.Detail;
}
