// atlaspocket-tileserver: serves deterministic tiles on 127.0.0.1 under the
// tile service's path, and the same tiles under /{z}/{x}/{y}.png (road map),
// /{z}/{x}/{y}.jpg (satellite) and /{t}/{z}/{x}/{y}.png|jpg (any type) for URL
// templates, with faults that tests switch on at run time. Every tile carries
// an ETag and a Last-Modified of its edition and a conditional request for an
// unchanged tile gets 304; /_control/edition moves chosen tiles to their next
// edition, a different picture. With --tls-cert and
// --tls-key it speaks https. Prints "LISTENING <port>" once the socket
// listens; ends on SIGTERM or SIGINT.
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <ctime>

#include "FaultTable.h"
#include "AtlasAppType.h"
#include "AtlasVersion.h"
#include "Geometry.h"
#include "TileArt.h"

namespace {

struct TTileRequest {
    TTileId Key;
    int Hop = 0;       // position in a redirect chain; 0 is the client's own request
    int HopsTotal = 0;
};

// "lyrs=m@121&hl=zh-CN&x=5&y=7&z=10&s=Gali[&hop=1&of=3]" -> request; false when malformed.
bool ParseTileTarget(const std::string& text, TTileRequest& out, std::string& why) {
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t amp = std::min(text.find('&', start), text.size());
        const std::string item = text.substr(start, amp - start);
        if (const auto eq = item.find('='); eq != std::string::npos) values[item.substr(0, eq)] = item.substr(eq + 1);
        start = amp + 1;
    }
    const std::string lyrs = values["lyrs"];
    const std::optional<TMapType> type = lyrs.empty() ? std::nullopt : ParseMapType(lyrs[0]);
    if (!type) {
        why = "unknown layer";
        return false;
    }
    out.Key.Type = *type;
    try {
        out.Key.X = std::stoi(values.at("x"));
        out.Key.Y = std::stoi(values.at("y"));
        out.Key.Zoom = std::stoi(values.at("z"));
        if (values.count("hop")) out.Hop = std::stoi(values["hop"]);
        if (values.count("of")) out.HopsTotal = std::stoi(values["of"]);
    } catch (const std::exception&) {
        why = "bad x, y or z";
        return false;
    }
    if (out.Key.Zoom < 0 || out.Key.Zoom > 22 || !TileInGrid(out.Key.Zoom, out.Key.X, out.Key.Y)) {
        why = "no such tile";
        return false;
    }
    return true;
}

class TTileServer {
public:
    TTileServer(int latencyMs, int connectDelayMs, std::string logFile, long cacheMaxAge)
        : LatencyMs(latencyMs), ConnectDelayMs(connectDelayMs), CacheMaxAge(cacheMaxAge) {
        if (!logFile.empty()) {
            Log.open(logFile, std::ios::app);
            if (!Log) throw std::runtime_error("cannot open log file " + logFile);
        }
    }

    TFaultTable Faults;

    void Install(httplib::Server& svr) {
        svr.Get(R"(/vt/(.*))", [this](const httplib::Request& req, httplib::Response& res) { ServeTile(req, res); });
        // The layout of other tile services: the type from the folder or, without one, from the extension.
        svr.Get(R"(/(?:([mpsy])/)?(\d+)/(\d+)/(\d+)\.(png|jpg))",
                [this](const httplib::Request& req, httplib::Response& res) {
                    const std::string type = req.matches[1].matched ? req.matches[1].str()
                                             : req.matches[5].str() == "jpg" ? "s" : "m";
                    std::string why;
                    TTileRequest tile;
                    if (!ParseTileTarget("lyrs=" + type + "&z=" + req.matches[2].str() + "&x=" + req.matches[3].str() +
                                             "&y=" + req.matches[4].str(),
                                         tile, why)) {
                        res.status = 404;
                        res.set_content(why + "\n", "text/plain");
                        return;
                    }
                    ServeParsedTile(tile, req, res);
                });
        auto fault = [this](const httplib::Request& req, httplib::Response& res) { SetFault(req, res); };
        svr.Get("/_control/fault", fault);
        svr.Post("/_control/fault", fault);
        auto edition = [this](const httplib::Request& req, httplib::Response& res) {
            try {
                AddEdition(req.get_param_value("tiles"));
                res.set_content("ok\n", "text/plain");
            } catch (const std::exception& e) {
                res.status = 400;
                res.set_content(std::string(e.what()) + "\n", "text/plain");
            }
        };
        svr.Get("/_control/edition", edition);
        svr.Post("/_control/edition", edition);
        auto reset = [this](const httplib::Request&, httplib::Response& res) {
            Faults.Clear();
            {
                std::lock_guard lock(StatsMutex);
                Editions.clear();
                Conditional = 0;
                NotModified = 0;
                Attempts.clear();
                Order.clear();
                LastHeaders.clear();
                Connections.clear();
                ConnectionIds.clear();
                Total = 0;
            }
            res.set_content("ok\n", "text/plain");
        };
        svr.Get("/_control/reset", reset);
        svr.Post("/_control/reset", reset);
        // The undisturbed body of a tile, not counted as a request.
        svr.Get("/_control/tile", [](const httplib::Request& req, httplib::Response& res) {
            TTileRequest tile;
            std::string why;
            const std::string target = "lyrs=" + req.get_param_value("type") + "&x=" + req.get_param_value("x") +
                                       "&y=" + req.get_param_value("y") + "&z=" + req.get_param_value("z");
            if (!ParseTileTarget(target, tile, why)) {
                res.status = 404;
                res.set_content(why + "\n", "text/plain");
                return;
            }
            const TTileId& k = tile.Key;
            res.set_content(Text(EncodeTileBody(k)), k.Type == TMapType::Satellite ? "image/jpeg" : "image/png");
        });
        svr.Get("/_control/stats", [this](const httplib::Request&, httplib::Response& res) {
            nlohmann::json j;
            {
                std::lock_guard lock(StatsMutex);
                j["total"] = Total;
                j["conditional"] = Conditional;
                j["not_modified"] = NotModified;
                j["tiles"] = nlohmann::json::object();
                for (const auto& [key, n] : Attempts) j["tiles"][key] = n;
                j["order"] = Order;
                j["headers"] = nlohmann::json::object();
                for (const auto& [key, seen] : LastHeaders) j["headers"][key] = seen;
                j["connections"] = Connections;
            }
            res.set_content(j.dump(), "application/json");
        });
    }

    // "TYPE/Z/X/Y" with "*" for any part: the matching tiles move to their next edition.
    void AddEdition(const std::string& pattern) {
        TFaultRule rule = ParseFaultRule(pattern + "=html");
        std::lock_guard lock(StatsMutex);
        Editions.push_back(rule);
    }

private:
    int EditionOf(const TTileId& k) {
        std::lock_guard lock(StatsMutex);
        return int(std::count_if(Editions.begin(), Editions.end(), [&](const TFaultRule& f) { return f.Matches(k); }));
    }

    // The undisturbed tile with its validators; a conditional request that
    // names the current edition gets 304 without a body.
    void ServeCurrentTile(const TTileId& k, const httplib::Request& req, httplib::Response& res,
                          const std::string& imageType) {
        const int edition = EditionOf(k);
        const std::string etag = "\"" + TileKeyText(k) + "#" + std::to_string(edition) + "\"";
        // Each edition a day after the last, from a fixed date, so every run sees the same texts.
        const std::time_t modified = std::time_t(1704067200) + std::time_t(edition) * 86400;
        std::tm tm{};
        gmtime_r(&modified, &tm);
        char lastModified[64] = {};
        std::strftime(lastModified, sizeof lastModified, "%a, %d %b %Y %H:%M:%S GMT", &tm);
        const std::string ifNoneMatch = req.get_header_value("If-None-Match");
        const std::string ifModifiedSince = req.get_header_value("If-Modified-Since");
        // If-None-Match decides when both are sent; clients echo our date, so equal text is the same time.
        const bool unchanged = !ifNoneMatch.empty()
                                   ? ifNoneMatch == "*" || ifNoneMatch.find(etag) != std::string::npos
                                   : !ifModifiedSince.empty() && ifModifiedSince == lastModified;
        {
            std::lock_guard lock(StatsMutex);
            if (!ifNoneMatch.empty() || !ifModifiedSince.empty()) ++Conditional;
            if (unchanged) ++NotModified;
        }
        res.set_header("ETag", etag);
        res.set_header("Last-Modified", lastModified);
        if (CacheMaxAge >= 0) res.set_header("Cache-Control", "max-age=" + std::to_string(CacheMaxAge));
        if (unchanged) {
            res.status = 304;
            return;
        }
        res.set_content(Text(EncodeTileBody(k, edition)), imageType);
    }

    void SetFault(const httplib::Request& req, httplib::Response& res) {
        try {
            std::string rule;
            if (req.has_param("rule")) {
                rule = req.get_param_value("rule");
            } else {
                auto part = [&](const char* name) { return req.has_param(name) ? req.get_param_value(name) : "*"; };
                rule = part("type") + "/" + part("z") + "/" + part("x") + "/" + part("y") + "=" +
                       req.get_param_value("mode");
                if (req.has_param("param")) rule += ":" + req.get_param_value("param");
                if (req.has_param("count")) rule += "@" + req.get_param_value("count");
            }
            Faults.Add(ParseFaultRule(rule));
            res.set_content("ok\n", "text/plain");
        } catch (const std::exception& e) {
            res.status = 400;
            res.set_content(std::string(e.what()) + "\n", "text/plain");
        }
    }

    // Also tells whether this is the first request on its connection (known by the client's port).
    int CountAttempt(const TTileRequest& tile, const httplib::Request& req, bool& newConnection) {
        int attempt = 0;
        std::lock_guard lock(StatsMutex);
        ++Total;
        LastHeaders[TileKeyText(tile.Key)] = {{"Host", req.get_header_value("Host")},
                                        {"Referer", req.get_header_value("Referer")},
                                        {"User-Agent", req.get_header_value("User-Agent")}};
        const auto [connection, added] = ConnectionIds.try_emplace(
            req.remote_addr + ":" + std::to_string(req.remote_port), int(ConnectionIds.size()) + 1);
        newConnection = added;
        if (tile.Hop == 0) {
            attempt = ++Attempts[TileKeyText(tile.Key)];
            Order.push_back(TileKeyText(tile.Key));
            Connections.push_back(connection->second);
        } else {
            attempt = Attempts[TileKeyText(tile.Key)];
        }
        if (Log.is_open()) {
            Log << req.method << ' ' << req.target << " attempt=" << attempt << '\n';
            Log.flush();
        }
        return attempt;
    }

    void ServeTile(const httplib::Request& req, httplib::Response& res) {
        TTileRequest tile;
        std::string why;
        if (!ParseTileTarget(req.matches[1].str(), tile, why)) {
            res.status = 404;
            res.set_content(why + "\n", "text/plain");
            return;
        }
        ServeParsedTile(tile, req, res);
    }

    void ServeParsedTile(const TTileRequest& tile, const httplib::Request& req, httplib::Response& res) {
        // Counted before the delay, so a test can see a request that is still under way.
        bool newConnection = false;
        const int attempt = CountAttempt(tile, req, newConnection);
        // A new connection costs a round trip before its first request can be sent.
        if (newConnection && ConnectDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ConnectDelayMs));
        // The answer leaves LatencyMs after the request arrived, whatever drawing the
        // tile took meanwhile, like a remote server whose latency is the network's.
        struct TAnswerNoSooner {
            std::chrono::steady_clock::time_point Due;
            ~TAnswerNoSooner() { std::this_thread::sleep_until(Due); }
        } answerNoSooner{std::chrono::steady_clock::now() + std::chrono::milliseconds(LatencyMs)};
        const TTileId& k = tile.Key;
        const std::string imageType = k.Type == TMapType::Satellite ? "image/jpeg" : "image/png";

        // The later hops of a redirect chain follow the chain, not the fault table.
        if (tile.Hop > 0) {
            if (tile.Hop < tile.HopsTotal) Redirect(res, k, tile.Hop + 1, tile.HopsTotal);
            else ServeCurrentTile(k, req, res, imageType);
            return;
        }

        const std::optional<TFaultRule> fault = Faults.Take(k, attempt);
        if (!fault) {
            ServeCurrentTile(k, req, res, imageType);
            return;
        }
        const long param = fault->Param;
        switch (fault->Mode) {
        case TFaultMode::Html:
            res.set_content(HtmlPage, "text/html");
            break;
        case TFaultMode::SlowFail:
            std::this_thread::sleep_for(std::chrono::milliseconds(param));
            res.set_content(HtmlPage, "text/html");
            break;
        case TFaultMode::FailFirst:
            if (attempt <= param) res.set_content(HtmlPage, "text/html");
            else res.set_content(Text(EncodeTileBody(k)), imageType);
            break;
        case TFaultMode::Gzip:
            res.set_content(Text(GzipBody(EncodePngBody(DrawTile(k)))), "image/png");
            res.set_header("Content-Encoding", "gzip");
            break;
        case TFaultMode::Status404Image:
            res.status = 404;
            res.set_content(Text(EncodeTileBody(k)), imageType);
            break;
        case TFaultMode::Redirect:
            if (param > 0) Redirect(res, k, 1, int(param));
            else res.set_content(Text(EncodeTileBody(k)), imageType);
            break;
        case TFaultMode::Reset: {
            auto body = std::make_shared<std::string>(Text(EncodeTileBody(k)));
            const size_t before = std::min<size_t>(size_t(param), body->size() - 1);
            res.set_content_provider(body->size(), imageType,
                                     [body, before](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset == 0 && before > 0) return sink.write(body->data(), before);
                                         return false;  // closes the connection mid-answer
                                     });
            break;
        }
        case TFaultMode::SlowBody: {
            auto body = std::make_shared<std::string>(Text(EncodeTileBody(k)));
            constexpr size_t Pieces = 20;
            const size_t piece = (body->size() + Pieces - 1) / Pieces;
            const auto pause = std::chrono::milliseconds(param / long(Pieces));
            res.set_content_provider(body->size(), imageType,
                                     [body, piece, pause](size_t offset, size_t, httplib::DataSink& sink) {
                                         std::this_thread::sleep_for(pause);
                                         if (!sink.is_writable()) return false;
                                         return sink.write(body->data() + offset, std::min(piece, body->size() - offset));
                                     });
            break;
        }
        case TFaultMode::Gif:
            res.set_content(Text(SmallGifBody()), "image/gif");
            break;
        case TFaultMode::JpegExif:
            res.set_content(Text(ExifJpegBody(DrawTile(k))), "image/jpeg");
            break;
        case TFaultMode::Garbage:
            res.set_content(Text(GarbageBody(std::uint32_t(k.X * 31 + k.Y * 7 + k.Zoom), 1500)), "application/octet-stream");
            break;
        case TFaultMode::Empty:
            res.set_content("", imageType);
            break;
        case TFaultMode::Status:
            res.status = int(param);
            res.set_content(HtmlPage, "text/html");
            break;
        case TFaultMode::RetryAfter:
        case TFaultMode::RateLimit:
            res.status = fault->Mode == TFaultMode::RateLimit ? 429 : 503;
            res.set_header("Retry-After", std::to_string(param));
            res.set_content(HtmlPage, "text/html");
            break;
        case TFaultMode::RefuseAfter:
            res.status = 403;
            res.set_content(HtmlPage, "text/html");
            break;
        case TFaultMode::BigPng:
            res.set_content(Text(PngClaimingSize(std::uint32_t(param), std::uint32_t(param))), "image/png");
            break;
        case TFaultMode::Picture:
            res.set_content(Text(EncodePngBody(TBitmap(int(param), int(param)))), "image/png");
            break;
        case TFaultMode::Pad: {
            std::string body = Text(EncodeTileBody(k));
            body.append(size_t(param), '\0');
            res.set_content(std::move(body), imageType);
            break;
        }
        }
    }

    static void Redirect(httplib::Response& res, const TTileId& k, int hop, int total) {
        res.set_redirect("/vt/lyrs=" + std::string(MapTypeCode(k.Type)) + "@121&hl=zh-CN&x=" + std::to_string(k.X) +
                             "&y=" + std::to_string(k.Y) + "&z=" + std::to_string(k.Zoom) + "&s=Gali&hop=" +
                             std::to_string(hop) + "&of=" + std::to_string(total),
                         302);
    }

    static std::string Text(const TBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }


    static constexpr const char* HtmlPage =
        "<html><head><title>Error</title></head><body>We are sorry, the tile is not available.</body></html>\n";

    const int LatencyMs;
    const int ConnectDelayMs;
    const long CacheMaxAge;  // seconds of Cache-Control: max-age; -1 sends none
    std::mutex StatsMutex;  // also serialises the log and the editions
    std::vector<TFaultRule> Editions;  // each match moves a tile one edition on
    long Conditional = 0;   // requests with If-None-Match or If-Modified-Since
    long NotModified = 0;   // of them, answered 304
    std::map<std::string, int> Attempts;
    std::vector<std::string> Order;
    std::map<std::string, std::map<std::string, std::string>> LastHeaders;  // of each tile's last request
    std::vector<int> Connections;                // per entry of Order: its connection, numbered from 1
    std::map<std::string, int> ConnectionIds;    // "addr:port" -> number
    long Total = 0;
    std::ofstream Log;
};

}  // namespace

namespace {

struct TServerOptions {
    int Port = 0;
    int LatencyMs = 0;
    int ConnectDelayMs = 0;
    std::string LogFile;
    std::vector<std::string> FaultRules;
    std::string TlsCert, TlsKey;
    long CacheMaxAge = -1;
    bool Marks = false;
};

void AddOptions(CLI::App& app, TServerOptions& o) {
    app.set_version_flag("--version", std::string("atlaspocket-tileserver ") + AtlasVersion);
    app.add_option("--port", o.Port, "Port on 127.0.0.1 (0: any free port)")->check(CLI::Range(0, 65535));
    app.add_option("--latency-ms", o.LatencyMs, "Delay before answering each tile request")->check(CLI::Range(0, 600000));
    app.add_option("--connect-delay-ms", o.ConnectDelayMs, "Extra delay of a new connection's first tile request")
        ->check(CLI::Range(0, 600000));
    app.add_option("--log", o.LogFile, "Append one line per tile request");
    app.add_option("--fault", o.FaultRules, "TYPE/Z/X/Y=MODE[:PARAM][#FIRST][~MS][@COUNT], '*' for any part");
    app.add_option("--cache-max-age", o.CacheMaxAge, "Cache-Control: max-age of every tile (seconds; none without)")
        ->check(CLI::Range(0L, 100000000L));
    app.add_option("--tls-cert", o.TlsCert, "PEM certificate: serve https instead of http (with --tls-key)");
    app.add_option("--tls-key", o.TlsKey, "PEM private key of --tls-cert");
    app.add_flag("--marks", o.Marks, "Road and terrain tiles show marks at the shifted positions of a true-coordinate grid");
}

// The server never outlives whoever started it (a test, a script, a
// benchmark), and the stop signals go to one waiting thread, so stopping the
// server happens outside a handler. Returns those signals, blocked.
sigset_t BlockStopSignals() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

// Serves until a stop signal; the exit code.
int Serve(const TServerOptions& o, const sigset_t& stopSignals) {
    TTileServer tiles(o.LatencyMs, o.ConnectDelayMs, o.LogFile, o.CacheMaxAge);
    for (const std::string& rule : o.FaultRules) tiles.Faults.Add(ParseFaultRule(rule));

    std::unique_ptr<httplib::Server> server;
    if (o.TlsCert.empty()) server = std::make_unique<httplib::Server>();
    else server = std::make_unique<httplib::SSLServer>(o.TlsCert.c_str(), o.TlsKey.c_str());
    if (!server->is_valid()) {
        std::cerr << "atlaspocket-tileserver: cannot use the certificate " << o.TlsCert << " and key " << o.TlsKey << "\n";
        return 2;
    }
    httplib::Server& svr = *server;
    svr.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // Like a real tile service, a kept connection serves many requests, not httplib's default five.
    svr.set_keep_alive_max_count(1000000);
    // Headers and body leave in separate writes; without this a kept connection waits on delayed ACKs.
    svr.set_tcp_nodelay(true);
    tiles.Install(svr);

    int bound = o.Port;
    if (o.Port == 0) bound = svr.bind_to_any_port("127.0.0.1");
    else if (!svr.bind_to_port("127.0.0.1", o.Port)) bound = -1;
    if (bound <= 0) {
        std::cerr << "atlaspocket-tileserver: cannot listen on 127.0.0.1:" << o.Port << "\n";
        return 1;
    }

    std::thread stopper([&svr, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        svr.stop();
    });
    stopper.detach();

    std::cout << "LISTENING " << bound << std::endl;
    const bool ok = svr.listen_after_bind();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Local tile server for AtlasPocket tests, benchmarks and demo"};
    TServerOptions options;
    AddOptions(app, options);
    CLI11_PARSE(app, argc, argv);
    SetMarkArt(options.Marks);
    if (options.TlsCert.empty() != options.TlsKey.empty()) {
        std::cerr << "atlaspocket-tileserver: --tls-cert and --tls-key go together\n";
        return 2;
    }
    const sigset_t stopSignals = BlockStopSignals();
    try {
        return Serve(options, stopSignals);
    } catch (const std::exception& e) {
        std::cerr << "atlaspocket-tileserver: " << e.what() << "\n";
        return 2;
    }
}
