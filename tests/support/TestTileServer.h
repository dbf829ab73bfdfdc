// The local tile server as a child process of the test. It dies with the
// thread that started it (PR_SET_PDEATHSIG), so create it on the test's main
// thread; the destructor stops and reaps it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Settings.h"

class TTestTileServer {
public:
    // Extra command-line options, e.g. {"--latency-ms", "50"}; with "--tls-cert"
    // the server speaks https and so do the control requests. Throws when the
    // server does not report listening within a generous time.
    explicit TTestTileServer(std::vector<std::string> extraArgs = {});
    ~TTestTileServer();
    TTestTileServer(const TTestTileServer&) = delete;
    TTestTileServer& operator=(const TTestTileServer&) = delete;

    int Port() const { return ListenPort; }
    // Host "127.0.0.1" (no "%d": every server number reaches this server).
    TServerConfig Config() const;

    // "TYPE/Z/X/Y=MODE[:PARAM][@COUNT]", "*" for any part, e.g. "m/5/1/2=redirect:3".
    void SetFault(const std::string& rule) const;
    void SetFault(const std::string& type, int zoom, int x, int y, const std::string& modeAndParam) const;
    // Drops every fault and every count.
    void Reset() const;
    // Requests the server saw for a tile (redirect hops not counted).
    int Attempts(const std::string& type, int zoom, int x, int y) const;
    // Every tile's requests at once, by StatsKey: one look at the server
    // where a test adds up many tiles.
    std::map<std::string, int> AttemptsByTile() const;
    static std::string StatsKey(const std::string& type, int zoom, int x, int y);  // "m/10/5/7"
    // Every request, hops included.
    long TotalRequests() const;
    // Tile requests in arrival order, as "m/5/1/2".
    std::vector<std::string> RequestOrder() const;
    // Host, Referer and User-Agent of the last request for a tile (empty when none came).
    std::map<std::string, std::string> LastHeaders(const std::string& type, int zoom, int x, int y) const;
    // Per entry of RequestOrder: the connection it came on, numbered from 1 in order of first use.
    std::vector<int> RequestConnections() const;
    // The body the server sends for a tile when no fault applies.
    std::string TileBody(const std::string& type, int zoom, int x, int y) const;

private:
    std::string Get(const std::string& target) const;

    int Pid = -1;
    bool Tls = false;
    int ListenPort = 0;
};
