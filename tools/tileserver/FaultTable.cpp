#include "FaultTable.h"

#include <charconv>
#include <stdexcept>

std::string TileKeyText(const TTileId& tile) {
    return std::string(MapTypeCode(tile.Type)) + "/" + std::to_string(tile.Zoom) + "/" + std::to_string(tile.X) + "/" +
           std::to_string(tile.Y);
}

bool TFaultRule::Matches(const TTileId& key) const {
    return (!Type || *Type == key.Type) && (!Zoom || *Zoom == key.Zoom) && (!X || *X == key.X) &&
           (!Y || *Y == key.Y);
}

bool ParseFaultMode(const std::string& name, TFaultMode& mode) {
    static const std::map<std::string, TFaultMode> names{
        {"html", TFaultMode::Html},         {"gzip", TFaultMode::Gzip},
        {"status404image", TFaultMode::Status404Image},
        {"redirect", TFaultMode::Redirect}, {"reset", TFaultMode::Reset},
        {"slowbody", TFaultMode::SlowBody}, {"failfirst", TFaultMode::FailFirst},
        {"gif", TFaultMode::Gif},           {"jpegexif", TFaultMode::JpegExif},
        {"garbage", TFaultMode::Garbage},   {"empty", TFaultMode::Empty},
        {"pad", TFaultMode::Pad},           {"slowfail", TFaultMode::SlowFail},
        {"status", TFaultMode::Status},     {"retryafter", TFaultMode::RetryAfter},
        {"ratelimit", TFaultMode::RateLimit}, {"refuseafter", TFaultMode::RefuseAfter},
        {"bigpng", TFaultMode::BigPng},     {"picture", TFaultMode::Picture},
    };
    auto it = names.find(name);
    if (it == names.end()) return false;
    mode = it->second;
    return true;
}

long DefaultFaultParam(TFaultMode mode) {
    switch (mode) {
    case TFaultMode::Redirect: return 3;
    case TFaultMode::SlowBody: return 2000;
    case TFaultMode::SlowFail: return 1000;
    case TFaultMode::FailFirst: return 1;
    case TFaultMode::Pad: return 1 << 20;
    case TFaultMode::Status: return 503;
    case TFaultMode::RetryAfter:
    case TFaultMode::RateLimit: return 1;
    case TFaultMode::RefuseAfter: return 5;
    case TFaultMode::BigPng: return 30000;
    case TFaultMode::Picture: return 256;
    default: return 0;
    }
}

namespace {

long ParseNumber(const std::string& text, const std::string& what) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument("bad " + what + " \"" + text + "\"");
    return value;
}

std::optional<int> ParsePart(const std::string& text, const std::string& what) {
    if (text == "*") return std::nullopt;
    return int(ParseNumber(text, what));
}

}  // namespace

TFaultRule ParseFaultRule(const std::string& rule) {
    const auto eq = rule.find('=');
    if (eq == std::string::npos) throw std::invalid_argument("fault \"" + rule + "\" has no '='");
    const std::string target = rule.substr(0, eq);
    std::string action = rule.substr(eq + 1);

    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const auto slash = target.find('/', start);
        parts.push_back(target.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() != 4) throw std::invalid_argument("fault target \"" + target + "\" is not TYPE/Z/X/Y");

    TFaultRule fault;
    if (parts[0] != "*") {
        fault.Type = ParseMapType(parts[0]);
        if (!fault.Type) throw std::invalid_argument("bad type \"" + parts[0] + "\"");
    }
    fault.Zoom = ParsePart(parts[1], "zoom");
    fault.X = ParsePart(parts[2], "x");
    fault.Y = ParsePart(parts[3], "y");

    if (const auto at = action.find('@'); at != std::string::npos) {
        fault.Remaining = ParseNumber(action.substr(at + 1), "count");
        action.resize(at);
    }
    if (const auto at = action.find('~'); at != std::string::npos) {
        fault.Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ParseNumber(action.substr(at + 1), "time"));
        action.resize(at);
    }
    if (const auto at = action.find('#'); at != std::string::npos) {
        fault.FirstAttempts = int(ParseNumber(action.substr(at + 1), "first attempts"));
        action.resize(at);
    }
    std::string modeName = action;
    std::optional<long> param;
    if (const auto colon = action.find(':'); colon != std::string::npos) {
        modeName = action.substr(0, colon);
        param = ParseNumber(action.substr(colon + 1), "parameter");
    }
    if (!ParseFaultMode(modeName, fault.Mode)) throw std::invalid_argument("unknown fault mode \"" + modeName + "\"");
    fault.Param = param ? *param : DefaultFaultParam(fault.Mode);
    if (fault.Param < 0) throw std::invalid_argument("negative fault parameter");
    return fault;
}

void TFaultTable::Add(TFaultRule fault) {
    std::lock_guard lock(Mutex);
    Faults.push_back(std::move(fault));
}

void TFaultTable::Clear() {
    std::lock_guard lock(Mutex);
    Faults.clear();
}

std::optional<TFaultRule> TFaultTable::Take(const TTileId& key, int attempt) {
    std::lock_guard lock(Mutex);
    const auto now = std::chrono::steady_clock::now();
    // Latest first, so a specific fault can override an earlier wildcard.
    for (auto it = Faults.rbegin(); it != Faults.rend(); ++it) {
        if (!it->Matches(key) || it->Remaining == 0) continue;
        if ((it->FirstAttempts > 0 && attempt > it->FirstAttempts) || (it->Until && now >= *it->Until)) continue;
        if (it->Remaining > 0) --it->Remaining;
        // Lets its first Param requests through, counting them itself.
        if (it->Mode == TFaultMode::RefuseAfter && it->Param > 0) {
            --it->Param;
            return std::nullopt;
        }
        return *it;
    }
    return std::nullopt;
}
