#include <gtest/gtest.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CliArgs.h"
#include "MapDataFile.h"
#include "TempDir.h"
#include "TestTileServer.h"

namespace {

struct TRun {
    int Exit = -1;
    std::string Out, Err;
};

std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the CLI with stdin from /dev/null, so it never sees a terminal.
TRun RunCli(const std::vector<std::string>& args, const TTempDir& dir) {
    const auto out = dir / "stdout.txt", err = dir / "stderr.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0), ::dup2(o, 1), ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(ATLAS_CLI_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ATLAS_CLI_PATH, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

class CliFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=" << Server.Port()
                                               << "\r\nREFERER=http://127.0.0.1\r\n";
    }
    std::vector<std::string> Generate(const std::string& zoom, const std::string& out) const {
        return {"generate", "--center", "123.4259,41.8123", "--zoom", zoom, "--types", "m,s", "--out",
                (Dir / out).string(), "--settings", (Dir / "AtlasPocket.Ini").string(), "--cache",
                Dir.DirString() + "FileMap", "--yes"};
    }
    TTempDir Dir;
    TTestTileServer Server;
};

TEST(CliArgs, BadArgumentsAreNamed) {
    EXPECT_THROW(ParseZoomArg("4-8"), TUsageError);
    EXPECT_THROW(ParseZoomArg("12-10"), TUsageError);
    EXPECT_THROW(ParseZoomArg("x"), TUsageError);
    EXPECT_EQ(ParseZoomArg("10-12").Max, 12);
    EXPECT_EQ(ParseZoomArg("17").Min, 17);
    EXPECT_THROW(ParseTypesArg("m,x"), TUsageError);
    EXPECT_THROW(ParseTypesArg(""), TUsageError);
    EXPECT_EQ(ParseTypesArg("s,y"), (std::array<bool, 4>{false, false, true, true}));
    EXPECT_THROW(ParseCenterArg("123.4"), TUsageError);
    EXPECT_THROW(ParseCenterArg("200,10"), TUsageError);
    try {
        ParseTypesArg("m,q");
    } catch (const TUsageError& e) {
        EXPECT_NE(std::string(e.what()).find("--types: 'q'"), std::string::npos);
    }
}

TEST_F(CliFixture, PlanPrintsTheConfirmationFigures) {
    const auto r = RunCli({"plan", "--center", "123.4259,41.8123", "--zoom", "10-12", "--types", "m,s", "--settings",
                           (Dir / "AtlasPocket.Ini").string()},
                          Dir);
    ASSERT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Out.find("zoom levels:       3"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("map size:          1280 x 1280"), std::string::npos);
    EXPECT_NE(r.Out.find("maximum map size:  7424 x 7424"), std::string::npos);
    EXPECT_NE(r.Out.find("tiles per type:    1035"), std::string::npos);
    EXPECT_NE(r.Out.find("index entries:     2070"), std::string::npos);

    const auto bad = RunCli({"plan", "--center", "1,2", "--zoom", "3-8", "--types", "m"}, Dir);
    EXPECT_EQ(bad.Exit, 2);
    EXPECT_NE(bad.Err.find("--zoom"), std::string::npos) << bad.Err;
    const auto huge = RunCli({"plan", "--center", "1,2", "--zoom", "5-17", "--types", "m,p,s,y", "--settings",
                              (Dir / "AtlasPocket.Ini").string()},
                             Dir);
    EXPECT_EQ(huge.Exit, 1) << "a plan that no map data file can hold is refused";
}

TEST_F(CliFixture, GenerateWritesAValidFileAndReusesTheCache) {
    const auto first = RunCli(Generate("10-11", "a.Dat"), Dir);
    ASSERT_EQ(first.Exit, 0) << first.Err;
    const long requests = Server.TotalRequests();
    EXPECT_EQ(requests, 2 * (25 + 169));

    TMapDataReader reader;
    ASSERT_EQ(reader.Open((Dir / "a.Dat").string()), "");
    EXPECT_EQ(reader.Header().EntryCount, 2 * (25 + 169));
    EXPECT_EQ(reader.Header().MinZoom, 10);
    EXPECT_EQ(reader.Header().MaxZoom, 11);
    for (std::size_t i = 0; i < reader.Entries().size(); ++i) ASSERT_GT(reader.ImageSize(i), 0) << i;
    reader.Close();

    const auto second = RunCli(Generate("10-11", "b.Dat"), Dir);
    ASSERT_EQ(second.Exit, 0) << second.Err;
    EXPECT_EQ(Server.TotalRequests(), requests) << "every tile came from the cache";
    EXPECT_EQ(Slurp(Dir / "a.Dat"), Slurp(Dir / "b.Dat"));

    const auto inspect = RunCli({"inspect", (Dir / "a.Dat").string()}, Dir);
    EXPECT_EQ(inspect.Exit, 0) << inspect.Out;
    EXPECT_NE(inspect.Out.find("entries:       388"), std::string::npos) << inspect.Out;
    EXPECT_NE(inspect.Out.find("consistent:    yes"), std::string::npos);
    const auto json = RunCli({"inspect", (Dir / "a.Dat").string(), "--json"}, Dir);
    EXPECT_NE(json.Out.find("\"entryCount\": 388"), std::string::npos) << json.Out;
}

// Each worker keeps one connection, so the server's connection count is the worker count.
TEST_F(CliFixture, ConnectionsOptionSetsTheDownloadWorkers) {
    const struct { const char* Connections; int Exit; int Seen; } rows[] = {
        {nullptr, 0, 6}, {"1", 0, 1}, {"3", 0, 3}, {"0", 2, 0}, {"7", 2, 0},  // usage errors
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Connections ? row.Connections : "default");
        Server.Reset();
        auto args = Generate("10", "e" + std::to_string(++n) + ".Dat");
        args[args.size() - 2] = Dir.DirString() + "cache" + std::to_string(n);  // the --cache value
        if (row.Connections) args.insert(args.end(), {"--connections", row.Connections});
        const auto r = RunCli(args, Dir);
        EXPECT_EQ(r.Exit, row.Exit) << r.Err;
        const auto connections = Server.RequestConnections();
        EXPECT_EQ(std::set<int>(connections.begin(), connections.end()).size(), std::size_t(row.Seen));
    }
}

TEST_F(CliFixture, FailedTilesWriteNothing) {
    Server.SetFault("s", 10, 863, 380, "html");
    const auto r = RunCli(Generate("10", "c.Dat"), Dir);
    EXPECT_EQ(r.Exit, 3) << r.Err;
    EXPECT_FALSE(std::filesystem::exists(Dir / "c.Dat"));
    EXPECT_NE(r.Err.find("1 tiles could not be downloaded"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("s zoom 10 x 863 y 380"), std::string::npos) << r.Err;
    EXPECT_EQ(Server.Attempts("s", 10, 863, 380), 3);

    Server.Reset();
    const auto again = RunCli(Generate("10", "c.Dat"), Dir);
    EXPECT_EQ(again.Exit, 0) << again.Err;
    EXPECT_EQ(Server.TotalRequests(), 1) << "only the missing tile is fetched again";
}

TEST_F(CliFixture, GenerateWithoutConfirmationRefusesPolitely) {
    auto args = Generate("10", "d.Dat");
    args.pop_back();  // no --yes, and stdin is not a terminal
    const auto r = RunCli(args, Dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("--yes"), std::string::npos) << r.Err;
    EXPECT_EQ(Server.TotalRequests(), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "d.Dat"));
}

TEST_F(CliFixture, InspectRefusesForeignFiles) {
    std::ofstream(Dir / "bad.Dat") << "NOT_A_MAP_DATA_FILE_AT_ALL";
    const auto r = RunCli({"inspect", (Dir / "bad.Dat").string()}, Dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("文件不是本程序生成的地图数据文件。"), std::string::npos);
    const auto missing = RunCli({"inspect", (Dir / "none.Dat").string()}, Dir);
    EXPECT_NE(missing.Err.find("文件不存在。"), std::string::npos);
}

}  // namespace

