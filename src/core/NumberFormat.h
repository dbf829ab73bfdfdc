// Number texts of the program: reals in the settings file and read-only
// fields, the settings window's fixed-point fields, and the strict parser
// used for everything the user or the settings file types in.
#pragma once

#include <optional>
#include <string>

// Shortest general form with at most 15 significant digits and a point;
// exponent form (for example 1E-6) below 0.00001 in magnitude or from 1E15 up.
std::string FormatReal(double v);

// The text without blanks (spaces, tabs, line ends) at either end.
std::string TrimBlanks(const std::string& text);

// Fixed point with the given number of decimals, rounded ("0.00594480").
std::string FormatFixed(double v, int decimals = 8);

// A decimal real with optional sign, point and exponent, blanks around it
// allowed. Nothing else (hex, inf, nan, trailing text) is a number.
std::optional<double> ParseReal(const std::string& text);

// A decimal integer in the int32 range, blanks around it allowed.
std::optional<int> ParseInt(const std::string& text);

// A time left: "12:34" / "1:02:03"; "--:--" when unknown.
std::string FormatDuration(double seconds);
