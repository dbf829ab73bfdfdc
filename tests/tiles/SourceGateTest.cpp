// The run's shared gate without a network: pauses within their limit, the
// connections and pace of a source, and the refusals that stop a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "SourceGate.h"

using namespace std::chrono_literals;

namespace {

TServerConfig TemplateSource(int connections, double rate) {
    TServerConfig server;
    server.UrlTemplates[0] = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    server.Connections[0] = connections;
    server.Rates[0] = rate;
    return server;
}

}  // namespace

TEST(SourceGate, PausesAddUpToTheRunsLimitAndRefusalsOfThreeTilesStopIt) {
    TDownloadLimits limits;
    limits.MaxPauseMs = 1000;
    TSourceGate gate(TServerConfig{}, limits);
    EXPECT_TRUE(gate.Pause(TMapType::Road, 300ms));
    EXPECT_GE(gate.PausedSeconds(), 1);
    EXPECT_FALSE(gate.Pause(TMapType::Terrain, 2000ms)) << "beyond the limit: a failed attempt";

    gate.Refused(TMapType::Road, {TMapType::Road, 5, 1, 1}, 403, "tiles.example");
    gate.Refused(TMapType::Road, {TMapType::Road, 5, 1, 1}, 403, "tiles.example");  // the same tile again
    gate.Refused(TMapType::Road, {TMapType::Road, 5, 2, 1}, 403, "tiles.example");
    gate.Succeeded(TMapType::Terrain);  // the default source serves road and terrain alike
    gate.Refused(TMapType::Road, {TMapType::Road, 5, 3, 1}, 403, "tiles.example");
    gate.Refused(TMapType::Road, {TMapType::Road, 5, 4, 1}, 403, "tiles.example");
    EXPECT_FALSE(gate.Stopped());
    gate.Refused(TMapType::Road, {TMapType::Road, 5, 5, 1}, 451, "tiles.example");
    const TRunStop stop = gate.StopReason();
    EXPECT_EQ(stop.Reason, TStopReason::AccessRefused);
    EXPECT_EQ(stop.Host, "tiles.example");
    EXPECT_EQ(stop.HttpStatus, 451);
    EXPECT_FALSE(gate.Enter(TMapType::Road, nullptr)) << "a stopped run sends nothing more";
}

TEST(SourceGate, ASourceKeepsToItsConnectionsAndPace) {
    TSourceGate gate(TemplateSource(1, 0), {});
    ASSERT_TRUE(gate.Enter(TMapType::Road, nullptr));
    std::atomic<bool> second{false};
    std::thread other([&] {
        second = gate.Enter(TMapType::Road, nullptr);
        gate.Leave(TMapType::Road);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(second) << "one connection only";
    EXPECT_TRUE(gate.Enter(TMapType::Terrain, nullptr)) << "another source is not held up";
    gate.Leave(TMapType::Terrain);
    gate.Leave(TMapType::Road);
    other.join();
    EXPECT_TRUE(second);

    TSourceGate paced(TemplateSource(0, 20), {});
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(paced.Enter(TMapType::Road, nullptr));
        paced.Leave(TMapType::Road);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4 * 50ms);
    // A template source without CONNECTIONS_X gets two; the default source no limit of its own.
    EXPECT_EQ(SourceConnections(TemplateSource(0, 0), TMapType::Road), DefaultTemplateConnections);
    EXPECT_EQ(SourceConnections(TemplateSource(0, 0), TMapType::Terrain), 0);
    // A template source says who asks; the default source's request stays as it was.
    EXPECT_EQ(RequestIdentity(TemplateSource(0, 0), TMapType::Road).UserAgent.rfind("AtlasPocket/", 0), 0u);
    EXPECT_EQ(RequestIdentity(TemplateSource(0, 0), TMapType::Terrain).UserAgent, DefaultUserAgent);
}
