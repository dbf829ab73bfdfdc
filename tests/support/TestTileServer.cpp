#include "TestTileServer.h"

#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "WaitUntil.h"

namespace {

constexpr auto StartTimeout = std::chrono::seconds(20);

std::string TileKey(const std::string& type, int zoom, int x, int y) {
    return type + "/" + std::to_string(zoom) + "/" + std::to_string(x) + "/" + std::to_string(y);
}

std::string EncodeQueryValue(const std::string& value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

TTestTileServer::TTestTileServer(std::vector<std::string> extraArgs) {
    for (const std::string& a : extraArgs) Tls = Tls || a == "--tls-cert";
    std::vector<std::string> args{ATLAS_TILESERVER_PATH, "--port", "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    // Built before fork: the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Pid = pid;
    close(out[1]);

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + StartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, size_t(n));
    }
    close(out[0]);
    if (line.rfind("LISTENING ", 0) == 0) ListenPort = std::atoi(line.c_str() + 10);
    if (ListenPort <= 0) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
        throw std::runtime_error("tile server did not start: \"" + line + "\" from " + ATLAS_TILESERVER_PATH);
    }
}

TTestTileServer::~TTestTileServer() {
    if (Pid <= 0) return;
    kill(Pid, SIGTERM);
    if (WaitUntil([this] { return waitpid(Pid, nullptr, WNOHANG) == Pid; }, std::chrono::seconds(5))) return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
}

TServerConfig TTestTileServer::Config() const {
    TServerConfig config;
    config.HostPattern = "127.0.0.1";
    config.Port = ListenPort;
    config.Referer = "http://127.0.0.1";
    return config;
}

std::string TTestTileServer::Get(const std::string& target) const {
    httplib::Client client((Tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(ListenPort));
    client.enable_server_certificate_verification(false);  // the test's own self-signed server
    client.set_connection_timeout(std::chrono::seconds(10));
    client.set_read_timeout(std::chrono::seconds(30));
    const auto res = client.Get(target);
    if (!res) throw std::runtime_error("tile server control " + target + ": " + httplib::to_string(res.error()));
    if (res->status != 200)
        throw std::runtime_error("tile server control " + target + ": status " + std::to_string(res->status) + " " +
                                 res->body);
    return res->body;
}

void TTestTileServer::SetFault(const std::string& rule) const {
    Get("/_control/fault?rule=" + EncodeQueryValue(rule));
}

void TTestTileServer::SetFault(const std::string& type, int zoom, int x, int y, const std::string& modeAndParam) const {
    SetFault(TileKey(type, zoom, x, y) + "=" + modeAndParam);
}

void TTestTileServer::Reset() const { Get("/_control/reset"); }

int TTestTileServer::Attempts(const std::string& type, int zoom, int x, int y) const {
    const auto stats = nlohmann::json::parse(Get("/_control/stats"));
    return stats["tiles"].value(TileKey(type, zoom, x, y), 0);
}

std::string TTestTileServer::StatsKey(const std::string& type, int zoom, int x, int y) { return TileKey(type, zoom, x, y); }

std::map<std::string, int> TTestTileServer::AttemptsByTile() const {
    return nlohmann::json::parse(Get("/_control/stats"))["tiles"].get<std::map<std::string, int>>();
}

long TTestTileServer::TotalRequests() const {
    return nlohmann::json::parse(Get("/_control/stats"))["total"].get<long>();
}

void TTestTileServer::NewEdition(const std::string& pattern) const { Get("/_control/edition?tiles=" + pattern); }

long TTestTileServer::ConditionalRequests() const {
    return nlohmann::json::parse(Get("/_control/stats"))["conditional"].get<long>();
}

long TTestTileServer::NotModifiedAnswers() const {
    return nlohmann::json::parse(Get("/_control/stats"))["not_modified"].get<long>();
}

std::vector<std::string> TTestTileServer::RequestOrder() const {
    return nlohmann::json::parse(Get("/_control/stats"))["order"].get<std::vector<std::string>>();
}

std::map<std::string, std::string> TTestTileServer::LastHeaders(const std::string& type, int zoom, int x, int y) const {
    const auto stats = nlohmann::json::parse(Get("/_control/stats"));
    return stats["headers"].value(TileKey(type, zoom, x, y), std::map<std::string, std::string>{});
}

std::vector<int> TTestTileServer::RequestConnections() const {
    return nlohmann::json::parse(Get("/_control/stats"))["connections"].get<std::vector<int>>();
}

std::string TTestTileServer::TileBody(const std::string& type, int zoom, int x, int y) const {
    return Get("/_control/tile?type=" + type + "&z=" + std::to_string(zoom) + "&x=" + std::to_string(x) +
               "&y=" + std::to_string(y));
}
