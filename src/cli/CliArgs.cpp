#include "CliArgs.h"

#include <cmath>
#include <cstdio>

#include "NumberFormat.h"

std::string MapTypeCodes() {
    std::string codes;
    for (const TMapType type : AllMapTypes) codes.append(codes.empty() ? "" : ", ").append(MapTypeCode(type));
    return codes;
}

std::string MapTypeCodesNamed() {
    std::string codes;
    for (const TMapType type : AllMapTypes)
        codes.append(codes.empty() ? "" : ", ").append(MapTypeCode(type)).append(" ").append(MapTypeEnglishName(type));
    return codes;
}

TCenterArg ParseCenterArg(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) throw TUsageError("--center: '" + text + "' is not LON,LAT");
    const auto lon = ParseReal(text.substr(0, comma));
    const auto lat = ParseReal(text.substr(comma + 1));
    if (!lon || !lat) throw TUsageError("--center: '" + text + "' is not LON,LAT");
    if (*lon < -180 || *lon > 180 || *lat < -85.0511287798 || *lat > 85.0511287798)
        throw TUsageError("--center: '" + text + "' lies outside the map (longitude -180..180, latitude -85.05..85.05)");
    return {*lon, *lat};
}

TZoomArg ParseZoomArg(const std::string& text) {
    const auto dash = text.find('-', 1);
    const auto min = ParseInt(text.substr(0, dash));
    const auto max = dash == std::string::npos ? min : ParseInt(text.substr(dash + 1));
    if (!min || !max || *min < MinMapZoom || *max > MaxMapZoom || *min > MaxMapZoom || *max < MinMapZoom)
        throw TUsageError("--zoom: '" + text + "' is not a zoom or zoom range within 5..17");
    if (*max < *min) throw TUsageError("--zoom: '" + text + "': the maximum zoom is below the first zoom");
    return {*min, *max};
}

std::array<bool, MapTypeCount> ParseTypesArg(const std::string& text) {
    std::array<bool, MapTypeCount> included{};
    size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string code = text.substr(start, end - start);
        const std::optional<TMapType> type = ParseMapType(code);
        if (!type) throw TUsageError("--types: '" + code + "' is not a map type (" + MapTypeCodes() + ")");
        included[MapTypeIndex(*type)] = true;
        start = end + 1;
    }
    return included;
}

TMapType ParseViewTypeArg(const std::string& text) {
    const std::optional<TMapType> type = ParseMapType(text);
    if (!type) throw TUsageError("--view-type: '" + text + "' is not a map type (" + MapTypeCodes() + ")");
    return *type;
}

std::pair<TMapType, std::string> ParseSourceUrlArg(const std::string& text) {
    const auto eq = text.find('=');
    const std::optional<TMapType> type = eq == std::string::npos ? std::nullopt : ParseMapType(text.substr(0, eq));
    if (!type) throw TUsageError("--source-url: '" + text + "' is not T=TEMPLATE with T one of " + MapTypeCodes());
    return {*type, text.substr(eq + 1)};
}
