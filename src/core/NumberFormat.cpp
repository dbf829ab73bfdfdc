#include "NumberFormat.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

std::string TrimBlanks(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

namespace {

// to_chars ignores the C locale, which Qt sets from the environment: a
// comma-decimal locale must not leak into files and fields.
std::string FormatRealDigits(double v, int significant) {
    // Round to the wanted significant digits first, then decide the form from the rounded value.
    char buf[64];
    const auto sci = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, significant - 1);
    const std::string s(buf, sci.ptr);  // d.ddddde+xx
    const auto epos = s.find('e');
    int exp = 0;
    const char* e = s.data() + epos + 1;
    if (*e == '+') ++e;
    std::from_chars(e, s.data() + s.size(), exp);
    std::string mant = s.substr(0, epos);
    const bool neg = mant[0] == '-';
    if (neg) mant.erase(0, 1);
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out = neg ? "-" : "";
    double rounded = 0;
    std::from_chars(s.data() + (neg ? 1 : 0), s.data() + s.size(), rounded);
    if (rounded < 0.00001 || exp >= 15) {
        out.append(digits, 0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out.append("E").append(std::to_string(exp));
        return out;
    }
    if (exp < 0) {
        out += "0." + std::string(size_t(-exp - 1), '0') + digits;
    } else if (size_t(exp) + 1 >= digits.size()) {
        out += digits + std::string(size_t(exp) + 1 - digits.size(), '0');
    } else {
        out += digits.substr(0, size_t(exp) + 1) + "." + digits.substr(size_t(exp) + 1);
    }
    return out;
}

}  // namespace

std::string FormatReal(double v) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    if (v == 0) return "0";
    std::string text = FormatRealDigits(v, 15);
    // Near the largest double, 15 digits round up past it and would not read
    // back; 17 digits always name the value itself.
    if (!ParseReal(text)) text = FormatRealDigits(v, 17);
    return text;
}

std::string FormatFixed(double v, int decimals) {
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return FormatReal(v);
    std::string s(buf, r.ptr);
    if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);  // no "-0.00000000"
    return s;
}

std::optional<double> ParseReal(const std::string& text) {
    const std::string t = TrimBlanks(text);
    if (t.empty()) return std::nullopt;
    size_t i = 0;
    if (t[i] == '+' || t[i] == '-') ++i;
    size_t mantDigits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++mantDigits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++mantDigits;
    }
    if (mantDigits == 0) return std::nullopt;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++expDigits;
        if (expDigits == 0) return std::nullopt;
    }
    if (i != t.size()) return std::nullopt;
    const std::string plain = t[0] == '+' ? t.substr(1) : t;
    double v = 0;
    const auto [ptr, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), v);
    if (ec != std::errc() || ptr != plain.data() + plain.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> ParseInt(const std::string& text) {
    std::string t = TrimBlanks(text);
    if (!t.empty() && t[0] == '+') {
        t.erase(0, 1);
        if (!t.empty() && (t[0] == '+' || t[0] == '-')) return std::nullopt;
    }
    if (t.empty()) return std::nullopt;
    int v = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
    return v;
}

std::string FormatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 99 * 3600.0) return "--:--";
    const long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}
