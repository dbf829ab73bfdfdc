// The program's settings: start position and zoom, the calibration offsets of
// the four map types, and where the tile service lives. ReadSettings gives them
// as a value, which is what a run, its pool and the map view take; the window
// keeps the set its settings window edits in a TSettingsFile.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fault.h"
#include "Geometry.h"
#include "TileSource.h"

// Per-attempt download limits: a transfer beyond any of them is a failed
// attempt. The two times come from ATLAS_SERVER CONNECT_TIMEOUT and
// TRANSFER_TIMEOUT (seconds) so that slow links can be given more.
struct TDownloadLimits {
    long ConnectTimeoutMs = 10'000;
    long TransferTimeoutMs = 30'000;
    std::size_t MaxBodyBytes = 8u << 20;
    // A failed attempt waits before its tile is asked again: the first delay,
    // doubled after every further failure up to the cap, spread by a jitter.
    long FirstRetryDelayMs = 500;
    long MaxRetryDelayMs = 8'000;
    // [ATLAS_SERVER] MAX_PAUSE (seconds): the pauses services ask for with
    // Retry-After add up to at most this in one run; beyond it they fail.
    long MaxPauseMs = 600'000;
};

struct TAtlasSettings {
    double InitialLon = 123.4259;
    double InitialLat = 41.8123;
    // Offset pairs in map type order: road, terrain, satellite, satellite with roads.
    std::array<TDeltaPair, MapTypeCount> Deltas{{
        {0.0059448, 0.0026895},
        {0.0059448, 0.0026895},
        {-0.000202834, 0.000290538},
        {-0.000202834, 0.000290538},
    }};
    int InitialZoom = 5;
    // The window's runs write road and terrain maps in true coordinates
    // (ATLAS_GENERATE / RECTIFY = 1); off unless the file says so.
    bool Rectify = false;
    TServerConfig Server;
    TDownloadLimits Limits;
    // Tile source entries ReadSettings refused, each naming its section and key;
    // the types they concern request nothing.
    std::vector<TSourceProblem> SourceProblems;
};

// A failed settings write or a text that is not a number; what() is the message shown.
class TSettingsError : public std::runtime_error {
public:
    explicit TSettingsError(const std::string& message, TFault cause = {})
        : std::runtime_error(message), Why(std::move(cause)) {}
    // What lay behind a failed write, for each program to say in its
    // language; an Other fault without Detail when there is nothing behind.
    const TFault& Cause() const { return Why; }

private:
    TFault Why;
};

// Every value from file (missing, empty or non-numeric keys give the
// defaults; FIRST_ZOOM outside 5..17 reads as 5). Tile source entries that
// cannot be used are kept as read and listed in SourceProblems. The file is
// not written.
TAtlasSettings ReadSettings(const std::filesystem::path& file);

// The window's settings set and the file it is kept in: each write changes
// the set held and the file's entry. Runs with overrides of their own (the
// command line, a demo server) change a copy of Values(), never this.
class TSettingsFile {
public:
    // Holds the defaults until Load.
    explicit TSettingsFile(std::filesystem::path file) : File(std::move(file)) {}

    // ReadSettings of the file into the set held.
    void Load() { Held = ReadSettings(File); }
    const TAtlasSettings& Values() const { return Held; }

    // Sets InitialLon alone, without writing: the settings window takes the
    // longitude even when the latitude then fails.
    void HoldInitialLon(double lon) { Held.InitialLon = lon; }
    // Sets InitialLon/InitialLat and writes ATLAS_CENTER. Throws TSettingsError.
    void WriteInitialCenter(double lon, double lat);
    // Sets InitialZoom and writes ATLAS_ZOOM / FIRST_ZOOM. Throws TSettingsError.
    void WriteInitialZoom(int zoom);
    // Writes ATLAS_GENERATE / RECTIFY (1 or 0), then sets Rectify. Throws TSettingsError.
    void WriteRectify(bool on);

    // The offset write of the settings window for a map type:
    // a non-empty, non-zero text is subtracted from the offset held; when
    // shown is this type LON_VALUE/LAT_VALUE follow; the caller hands the
    // new pair to whoever shows that type.
    // Both texts are converted before anything changes. Throws TSettingsError.
    void ApplyDeltaCorrection(TMapType type, const std::string& lonText, const std::string& latText, TMapType shown);

    // Sets the offsets of a map type to the given values and writes them
    // the way ApplyDeltaCorrection does (LON_x/LAT_x, and LON_VALUE/LAT_VALUE
    // when shown is this type). Throws TSettingsError.
    void WriteDeltaPair(TMapType type, TDeltaPair pair, TMapType shown);
    // [ATLAS_SOURCE] MAX_AGE_DAYS_X of a type: days 0..3650, or -1 to remove the
    // entry (the source's default). Throws TSettingsError.
    void WriteMaxAgeDays(TMapType type, int days);

private:
    void Write(const char* section, const std::string& key, const std::string& value) const;

    std::filesystem::path File;
    TAtlasSettings Held;
};

std::string NotAFloatMessage(const std::string& text);
std::string UnableToWriteMessage(const std::filesystem::path& file);
