// Argument parsing of atlaspocket-cli that goes beyond CLI11's own checks:
// each parser names the bad argument in its error.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "AtlasAppType.h"
#include "NumberFormat.h"  // FormatDuration

class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TCenterArg {
    double Lon = 0;
    double Lat = 0;
};
struct TZoomArg {
    int Min = 5;
    int Max = 5;
};

// "m, p, s, y": the type codes, for messages.
std::string MapTypeCodes();
// "m road, p terrain, ...": the type codes with their names, for help texts.
std::string MapTypeCodesNamed();

TCenterArg ParseCenterArg(const std::string& text);            // "LON,LAT"
TZoomArg ParseZoomArg(const std::string& text);                // "MIN" or "MIN-MAX", within 5..17
std::array<bool, MapTypeCount> ParseTypesArg(const std::string& text);  // "m,s" (type codes)
TMapType ParseViewTypeArg(const std::string& text);                    // one type code
// "s=https://tiles.example/{z}/{x}/{y}.jpg" -> (type, template); the
// template itself is checked with the settings' tile sources.
std::pair<TMapType, std::string> ParseSourceUrlArg(const std::string& text);

