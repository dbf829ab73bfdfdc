#include "TileSource.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "AtlasVersion.h"

namespace {


bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

using enum TSourceProblemKind;

TSourceProblem Problem(TSourceProblemKind kind, char c = 0, std::string item = {}) {
    TSourceProblem p;
    p.Kind = kind;
    p.Char = c;
    p.Item = std::move(item);
    return p;
}

std::string Quoted(char c) {
    if (c == ' ') return "a blank";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "a control character";
    if (static_cast<unsigned char>(c) >= 0x80) return "a non-ASCII character";
    return std::string("'") + c + "'";
}

// A DNS name or a dotted IPv4 address.
TSourceProblem HostNameProblem(const std::string& host) {
    if (host.empty()) return Problem(NoHost);
    if (host.size() > 253) return Problem(HostTooLong);
    for (char c : host) {
        if (c == ';' || c == ' ') return Problem(CommentInValue, c);
        if (!IsAsciiAlnum(c) && c != '-' && c != '.') return Problem(HostCannotHold, c);
    }
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t dot = std::min(host.find('.', start), host.size());
        const std::string label = host.substr(start, dot - start);
        if (label.empty()) return Problem(EmptyHostPart);
        if (label.size() > 63) return Problem(HostPartTooLong);
        if (label.front() == '-' || label.back() == '-') return Problem(HostPartHyphen);
        start = dot + 1;
    }
    return {};
}

// "[...]" holding an IPv6 address (hex digits, ':' and '.').
TSourceProblem BracketHostProblem(const std::string& host) {
    if (host.size() < 4 || host.back() != ']') return Problem(Ipv6NotClosed);
    for (std::size_t i = 1; i + 1 < host.size(); ++i)
        if (!IsHex(host[i]) && host[i] != ':' && host[i] != '.') return Problem(Ipv6CannotHold, host[i]);
    return {};
}

struct TServerRange {
    bool Letters = false;
    int First = 0;
    int Count = 4;
};

std::optional<TServerRange> ParseServerRange(const std::string& name) {
    if (name == "s") return TServerRange{};
    if (name.size() < 5 || name.compare(0, 2, "s:") != 0) return std::nullopt;
    const std::string range = name.substr(2);
    const auto dash = range.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == range.size()) return std::nullopt;
    const std::string a = range.substr(0, dash), b = range.substr(dash + 1);
    if (a.size() == 1 && b.size() == 1 && a[0] >= 'a' && a[0] <= 'z' && b[0] >= a[0] && b[0] <= 'z')
        return TServerRange{true, a[0] - 'a', b[0] - a[0] + 1};
    auto number = [](const std::string& t) -> int {
        if (t.empty() || t.size() > 3) return -1;
        int v = 0;
        for (char c : t) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    const int first = number(a), last = number(b);
    if (first < 0 || last < first) return std::nullopt;
    return TServerRange{false, first, last - first + 1};
}

// The placeholders of a template in order. Stops at the first problem, a stray brace.
struct TPlaceholder {
    std::size_t Begin, End;  // of the whole "{...}"
    std::string Name;
};

TSourceProblem ScanPlaceholders(const std::string& text, std::vector<TPlaceholder>& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '}') return Problem(CloseBraceAlone);
        if (text[i] != '{') continue;
        const std::size_t close = text.find_first_of("{}", i + 1);
        if (close == std::string::npos || text[close] != '}') return Problem(OpenBraceAlone);
        out.push_back({i, close + 1, text.substr(i + 1, close - i - 1)});
        i = close;
    }
    return {};
}

std::string Fill(const std::string& text, const std::vector<TPlaceholder>& marks, int choice, std::int32_t x,
                 std::int32_t y, std::int32_t zoom) {
    std::string out;
    std::size_t at = 0;
    for (const TPlaceholder& m : marks) {
        out.append(text, at, m.Begin - at);
        at = m.End;
        if (m.Name == "x") out += std::to_string(x);
        else if (m.Name == "y") out += std::to_string(y);
        else if (m.Name == "z") out += std::to_string(zoom);
        else if (const auto range = ParseServerRange(m.Name)) {
            const int n = range->First + (choice % range->Count + range->Count) % range->Count;
            out += range->Letters ? std::string(1, char('a' + n)) : std::to_string(n);
        }
    }
    out.append(text, at, std::string::npos);
    return out;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

TSourceProblem Entry(TSourceProblem problem, const char* section, std::string key, std::optional<std::string> value) {
    problem.Section = section;
    problem.Key = std::move(key);
    problem.Value = std::move(value);
    return problem;
}

}  // namespace

std::string SourceProblemText(const TSourceProblem& p) {
    std::string why;
    switch (p.Kind) {
    case None: break;
    case CommentInValue: why = "it holds " + Quoted(p.Char) + " (a comment must stand on a line of its own)"; break;
    case HostCannotHold: why = "a host name cannot hold " + Quoted(p.Char); break;
    case NoHost: why = "it names no host"; break;
    case HostTooLong: why = "the host name is longer than 253 characters"; break;
    case EmptyHostPart: why = "the host name has an empty part between dots"; break;
    case HostPartTooLong: why = "a part of the host name is longer than 63 characters"; break;
    case HostPartHyphen: why = "a part of the host name begins or ends with '-'"; break;
    case Ipv6NotClosed: why = "the bracketed IPv6 address is not closed"; break;
    case Ipv6CannotHold: why = "an IPv6 address cannot hold " + Quoted(p.Char); break;
    case CloseBraceAlone: why = "it has a '}' without '{'"; break;
    case OpenBraceAlone: why = "it has a '{' without '}'"; break;
    case PercentOutsideD: why = "a '%' may only stand in \"%d\""; break;
    case NotHttp: why = "it must begin with http:// or https://"; break;
    case UnknownPlaceholder: why = "unknown placeholder {" + p.Item + "}"; break;
    case MissingPlaceholder: why = "it has no " + p.Item; break;
    case BadPercentEscape: why = "a '%' must start a two-digit hex escape"; break;
    case UserInfo: why = "a user name or password does not belong in a template"; break;
    case Ipv6WithoutPort: why = "the IPv6 address must be followed by ':port' or the path"; break;
    case BadPort: why = "the port must be a number 1..65535"; break;
    case NotADigest: why = "\"" + p.Item + "\" is not a SHA-256 digest (64 hex digits)"; break;
    }
    if (!p.Key.empty()) why = "[" + p.Section + "] " + p.Key + ": " + why;
    if (p.Value) why += ": \"" + *p.Value + "\"";
    return why;
}

TSourceProblem HostPatternProblem(const std::string& pattern) {
    const auto at = pattern.find("%d");
    const std::string host = at == std::string::npos ? pattern : pattern.substr(0, at) + "0" + pattern.substr(at + 2);
    if (host.find('%') != std::string::npos) return Problem(PercentOutsideD);
    return HostNameProblem(host);
}

TSourceProblem UrlTemplateProblem(const std::string& urlTemplate) {
    for (char c : urlTemplate) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) return Problem(CommentInValue, c);
    }
    std::size_t schemeEnd = 0;
    if (StartsWithNoCase(urlTemplate, "https://")) schemeEnd = 8;
    else if (StartsWithNoCase(urlTemplate, "http://")) schemeEnd = 7;
    else return Problem(NotHttp);

    std::vector<TPlaceholder> marks;
    if (auto problem = ScanPlaceholders(urlTemplate, marks)) return problem;
    bool seen[3] = {false, false, false};
    for (const TPlaceholder& m : marks) {
        if (m.Name == "x") seen[0] = true;
        else if (m.Name == "y") seen[1] = true;
        else if (m.Name == "z") seen[2] = true;
        else if (!ParseServerRange(m.Name)) return Problem(UnknownPlaceholder, 0, m.Name);
    }
    const char* names[] = {"{x}", "{y}", "{z}"};
    for (int i = 0; i < 3; ++i)
        if (!seen[i]) return Problem(MissingPlaceholder, 0, names[i]);

    // Percent escapes are kept as written, but a lone '%' would become part of the request.
    for (std::size_t i = 0; i < urlTemplate.size(); ++i)
        if (urlTemplate[i] == '%' && (i + 2 >= urlTemplate.size() || !IsHex(urlTemplate[i + 1]) || !IsHex(urlTemplate[i + 2])))
            return Problem(BadPercentEscape);

    // The host and port, checked with every placeholder standing for a plain value.
    const std::string filled = Fill(urlTemplate, marks, 0, 0, 0, 0);
    const std::size_t authorityEnd = std::min(filled.find_first_of("/?#", schemeEnd), filled.size());
    const std::string authority = filled.substr(schemeEnd, authorityEnd - schemeEnd);
    if (authority.find('@') != std::string::npos) return Problem(UserInfo);
    std::string host = authority, port;
    bool hasPort = false;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close != std::string::npos && close + 1 < host.size()) {
            if (host[close + 1] != ':') return Problem(Ipv6WithoutPort);
            hasPort = true;
            port = host.substr(close + 2);
            host.resize(close + 1);
        }
        if (auto problem = BracketHostProblem(host)) return problem;
    } else {
        if (const auto colon = host.find(':'); colon != std::string::npos) {
            hasPort = true;
            port = host.substr(colon + 1);
            host.resize(colon);
        }
        if (auto problem = HostNameProblem(host)) return problem;
    }
    if (hasPort) {
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) digits = digits && c >= '0' && c <= '9';
        if (!digits || std::stol(port) < 1 || std::stol(port) > 65535) return Problem(BadPort);
    }
    return {};
}

namespace {

// The items of a comma-separated list with the blanks around them removed; blank items dropped.
std::vector<std::string> ListItems(const std::string& list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::size_t first = list.find_first_not_of(" \t", start);
        if (first != std::string::npos && first < comma) {
            const std::size_t last = list.find_last_not_of(" \t", comma - 1);
            items.push_back(list.substr(first, last + 1 - first));
        }
        start = comma + 1;
    }
    return items;
}

}  // namespace

TSourceProblem PlaceholderListProblem(const std::string& list) {
    for (const std::string& item : ListItems(list)) {
        bool digest = item.size() == 64;
        for (char c : item) digest = digest && IsHex(c);
        if (!digest) return Problem(NotADigest, 0, item);
    }
    return {};
}

std::vector<std::string> PlaceholderDigests(const TServerConfig& server, TMapType type) {
    const std::string& list = server.Placeholders[MapTypeIndex(type)];
    if (list.empty() || PlaceholderListProblem(list)) return {};
    std::vector<std::string> digests = ListItems(list);
    for (std::string& d : digests)
        for (char& c : d) c = char(std::tolower(static_cast<unsigned char>(c)));
    return digests;
}

std::vector<TSourceProblem> ServerConfigProblems(const TServerConfig& server) {
    std::vector<TSourceProblem> problems;
    if (auto problem = HostPatternProblem(server.HostPattern))
        problems.push_back(Entry(problem, "ATLAS_SERVER", "HOST", server.HostPattern));
    for (const TMapType type : AllMapTypes) {
        const std::string& t = server.UrlTemplates[MapTypeIndex(type)];
        if (t.empty()) continue;
        if (auto problem = UrlTemplateProblem(t))
            problems.push_back(Entry(problem, "ATLAS_SOURCE", std::string("URL_") + MapTypeSettingsLetter(type), t));
    }
    // The offending item names itself; a whole list would be too long to show.
    for (const TMapType type : AllMapTypes)
        if (auto problem = PlaceholderListProblem(server.Placeholders[MapTypeIndex(type)]))
            problems.push_back(Entry(problem, "ATLAS_SOURCE", std::string("PLACEHOLDER_") + MapTypeSettingsLetter(type), std::nullopt));
    return problems;
}

bool HasOwnTemplate(const TServerConfig& server, TMapType type) {
    return !server.UrlTemplates[MapTypeIndex(type)].empty();
}

bool SourceUsable(const TServerConfig& server, TMapType type) {
    if (PlaceholderListProblem(server.Placeholders[MapTypeIndex(type)])) return false;
    if (HasOwnTemplate(server, type)) return !UrlTemplateProblem(server.UrlTemplates[MapTypeIndex(type)]);
    return !HostPatternProblem(server.HostPattern);
}

int ServerChoiceCount(const TServerConfig& server, TMapType type) {
    if (!HasOwnTemplate(server, type)) return 4;
    std::vector<TPlaceholder> marks;
    if (ScanPlaceholders(server.UrlTemplates[MapTypeIndex(type)], marks)) return 1;
    for (const TPlaceholder& m : marks)
        if (const auto range = ParseServerRange(m.Name)) return range->Count;
    return 1;
}

std::string ExpandUrlTemplate(const std::string& urlTemplate, int choice, std::int32_t x, std::int32_t y,
                              std::int32_t zoom) {
    std::vector<TPlaceholder> marks;
    ScanPlaceholders(urlTemplate, marks);
    return Fill(urlTemplate, marks, choice, x, y, zoom);
}

std::string SourceDigest(const std::string& urlTemplate) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : urlTemplate) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(hex, 12);
}

TRequestIdentity RequestIdentity(const TServerConfig& server, std::optional<TMapType> type) {
    TRequestIdentity id;
    const bool own = type && HasOwnTemplate(server, *type);
    const std::string& referer = type ? server.Referers[MapTypeIndex(*type)] : std::string();
    id.Referer = referer.empty() ? server.Referer : referer;
    // A template names a service whose usage policy asks clients to say who
    // they are; the default source's request stays as it always was.
    id.UserAgent = !server.UserAgent.empty() ? server.UserAgent
                   : own                     ? std::string("AtlasPocket/") + AtlasVersion
                                             : std::string(DefaultUserAgent);
    id.CaFile = server.CaFile;
    id.KeepAlive = server.KeepAlive;
    id.HostWithPort = own;
    id.SecureOnly = own && StartsWithNoCase(server.UrlTemplates[MapTypeIndex(*type)], "https://");
    return id;
}

int SourceConnections(const TServerConfig& server, TMapType type) {
    if (const int set = server.Connections[MapTypeIndex(type)]; set > 0) return set;
    return HasOwnTemplate(server, type) ? DefaultTemplateConnections : 0;
}

std::string SourceKey(const TServerConfig& server, TMapType type) {
    return HasOwnTemplate(server, type) ? server.UrlTemplates[MapTypeIndex(type)] : std::string();
}
