#include "Settings.h"

#include "AtlasAppType.h"
#include "AtomicFile.h"
#include "IniFile.h"
#include "NumberFormat.h"

namespace {

constexpr const char* CenterSection = "ATLAS_CENTER";
constexpr const char* DeltaSection = "ATLAS_DELTA";
constexpr const char* ZoomSection = "ATLAS_ZOOM";
constexpr const char* ServerSection = "ATLAS_SERVER";
constexpr const char* SourceSection = "ATLAS_SOURCE";

std::string LonKey(TMapType type) { return std::string("LON_") + MapTypeSettingsLetter(type); }
std::string LatKey(TMapType type) { return std::string("LAT_") + MapTypeSettingsLetter(type); }

double ReadReal(const TIniFile& ini, const char* section, const std::string& key, double def) {
    const auto text = ini.ReadString(section, key);
    if (!text) return def;
    return ParseReal(*text).value_or(def);
}

double ConvertReal(const std::string& text) {
    const auto v = ParseReal(text);
    if (!v) throw TSettingsError(NotAFloatMessage(text));
    return *v;
}

}  // namespace

std::string NotAFloatMessage(const std::string& text) { return "'" + text + "' is not a valid floating point value"; }

std::string UnableToWriteMessage(const std::filesystem::path& file) { return "Unable to write to " + file.string(); }

TAtlasSettings ReadSettings(const std::filesystem::path& file) {
    const TAtlasSettings defaults;
    TAtlasSettings read;
    TIniFile ini(file);
    read.InitialLon = ReadReal(ini, CenterSection, "LON_VALUE", defaults.InitialLon);
    read.InitialLat = ReadReal(ini, CenterSection, "LAT_VALUE", defaults.InitialLat);
    for (const TMapType type : AllMapTypes) {
        const std::size_t i = MapTypeIndex(type);
        read.Deltas[i].Lon = ReadReal(ini, DeltaSection, LonKey(type), defaults.Deltas[i].Lon);
        read.Deltas[i].Lat = ReadReal(ini, DeltaSection, LatKey(type), defaults.Deltas[i].Lat);
    }
    const auto zoom = ParseInt(ini.ReadString(ZoomSection, "FIRST_ZOOM").value_or(""));
    read.InitialZoom = zoom && *zoom >= MinMapZoom && *zoom <= MaxMapZoom ? *zoom : defaults.InitialZoom;
    read.Rectify = ParseInt(ini.ReadString("ATLAS_GENERATE", "RECTIFY").value_or("")) == 1;

    read.Server = defaults.Server;
    if (auto host = ini.ReadString(ServerSection, "HOST"); host && !host->empty()) read.Server.HostPattern = *host;
    if (auto port = ParseInt(ini.ReadString(ServerSection, "PORT").value_or("")); port && *port > 0 && *port < 65536)
        read.Server.Port = *port;
    if (auto referer = ini.ReadString(ServerSection, "REFERER"); referer && !referer->empty())
        read.Server.Referer = *referer;
    for (const TMapType type : AllMapTypes) {
        const std::size_t i = MapTypeIndex(type);
        const std::string letter(1, MapTypeSettingsLetter(type));
        read.Server.UrlTemplates[size_t(i)] = ini.ReadString(SourceSection, "URL_" + letter).value_or("");
        read.Server.Referers[size_t(i)] = ini.ReadString(SourceSection, "REFERER_" + letter).value_or("");
        // Out of range reads as unset: the source keeps its default pace.
        const auto connections = ParseInt(ini.ReadString(SourceSection, "CONNECTIONS_" + letter).value_or(""));
        read.Server.Connections[size_t(i)] =
            connections && *connections >= 1 && *connections <= MaxSourceConnections ? *connections : 0;
        const auto rate = ParseReal(ini.ReadString(SourceSection, "RATE_" + letter).value_or(""));
        read.Server.Rates[size_t(i)] = rate && *rate > 0 && *rate <= 1000 ? *rate : 0;
        read.Server.Placeholders[size_t(i)] = ini.ReadString(SourceSection, "PLACEHOLDER_" + letter).value_or("");
        const auto maxAge = ParseInt(ini.ReadString(SourceSection, "MAX_AGE_DAYS_" + letter).value_or(""));
        read.Server.MaxAgeDays[size_t(i)] = maxAge && *maxAge >= 0 && *maxAge <= MaxAgeDaysLimit ? *maxAge : -1;
    }
    read.Server.UserAgent = ini.ReadString(SourceSection, "USER_AGENT").value_or("");
    read.Server.CaFile = ini.ReadString(SourceSection, "CA_FILE").value_or("");
    read.SourceProblems = ServerConfigProblems(read.Server);
    if (auto keepAlive = ParseInt(ini.ReadString(ServerSection, "KEEP_ALIVE").value_or("")))
        read.Server.KeepAlive = *keepAlive != 0;

    // Seconds, 0.1 s to one hour; anything else keeps the default.
    auto readTimeout = [&](const char* key, long def) {
        const auto v = ParseReal(ini.ReadString(ServerSection, key).value_or(""));
        return v && *v >= 0.1 && *v <= 3600 ? long(*v * 1000) : def;
    };
    read.Limits.ConnectTimeoutMs = readTimeout("CONNECT_TIMEOUT", defaults.Limits.ConnectTimeoutMs);
    read.Limits.TransferTimeoutMs = readTimeout("TRANSFER_TIMEOUT", defaults.Limits.TransferTimeoutMs);
    // Seconds of Retry-After pauses one run accepts, 0 to a day.
    const auto maxPause = ParseReal(ini.ReadString(ServerSection, "MAX_PAUSE").value_or(""));
    read.Limits.MaxPauseMs = maxPause && *maxPause >= 0 && *maxPause <= 86400 ? long(*maxPause * 1000)
                                                                             : defaults.Limits.MaxPauseMs;
    return read;
}

void TSettingsFile::Write(const char* section, const std::string& key, const std::string& value) const {
    try {
        TIniFile(File).WriteString(section, key, value);
    } catch (const TFileError& e) {
        throw TSettingsError(UnableToWriteMessage(File), e.Fault);
    }
}

void TSettingsFile::WriteInitialCenter(double lon, double lat) {
    Held.InitialLon = lon;
    Held.InitialLat = lat;
    Write(CenterSection, "LON_VALUE", FormatReal(lon));
    Write(CenterSection, "LAT_VALUE", FormatReal(lat));
}

void TSettingsFile::WriteInitialZoom(int zoom) {
    Held.InitialZoom = zoom;
    Write(ZoomSection, "FIRST_ZOOM", std::to_string(zoom));
}

void TSettingsFile::WriteRectify(bool on) {
    // Written first: a refused write leaves the setting as the file has it.
    Write("ATLAS_GENERATE", "RECTIFY", on ? "1" : "0");
    Held.Rectify = on;
}

void TSettingsFile::ApplyDeltaCorrection(TMapType type, const std::string& lonText, const std::string& latText,
                                         TMapType shown) {
    const TDeltaPair& pair = Held.Deltas[MapTypeIndex(type)];
    // Both texts are converted before anything changes; an empty field means "leave it".
    const bool lonEmpty = lonText.find_first_not_of(" \t") == std::string::npos;
    const bool latEmpty = latText.find_first_not_of(" \t") == std::string::npos;
    const double lonCorr = lonEmpty ? 0.0 : ConvertReal(lonText);
    const double latCorr = latEmpty ? 0.0 : ConvertReal(latText);
    const double newLon = lonCorr != 0.0 ? pair.Lon - lonCorr : pair.Lon;
    const double newLat = latCorr != 0.0 ? pair.Lat - latCorr : pair.Lat;
    WriteDeltaPair(type, {newLon, newLat}, shown);
}

void TSettingsFile::WriteMaxAgeDays(TMapType type, int days) {
    const std::string key = std::string("MAX_AGE_DAYS_") + MapTypeSettingsLetter(type);
    if (days < -1 || days > MaxAgeDaysLimit) throw TSettingsError("'" + std::to_string(days) + "' is not a number of days");
    // An empty value reads as unset, like an entry never written.
    Write(SourceSection, key, days < 0 ? std::string() : std::to_string(days));
    Held.Server.MaxAgeDays[MapTypeIndex(type)] = days;
}

void TSettingsFile::WriteDeltaPair(TMapType type, TDeltaPair newPair, TMapType shown) {
    TDeltaPair& pair = Held.Deltas[MapTypeIndex(type)];
    if (shown == type) {
        Write(DeltaSection, "LON_VALUE", FormatReal(newPair.Lon));
        Write(DeltaSection, "LAT_VALUE", FormatReal(newPair.Lat));
    }
    pair = newPair;
    Write(DeltaSection, LonKey(type), FormatReal(newPair.Lon));
    Write(DeltaSection, LatKey(type), FormatReal(newPair.Lat));
}
