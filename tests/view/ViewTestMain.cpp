// The view tests need a QApplication before any widget exists, and no display.
#include <QApplication>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Settings.h"

namespace {

// A local port nobody listens on, so tile requests fail at once.
int UnusedLocalPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 9;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 9;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Settings.Server.HostPattern = "127.0.0.1";
    Settings.Server.Port = UnusedLocalPort();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
