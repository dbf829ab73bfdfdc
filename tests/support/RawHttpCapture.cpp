#include "RawHttpCapture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "Geometry.h"
#include "TileImage.h"

const std::string& TRawHttpCapture::AnswerBody() {
    // A white tile: workers keep only pictures of a tile's size.
    static const std::string png = [] {
        const std::vector<std::uint8_t> bytes = EncodePng(TBitmap(TileSize, TileSize));
        return std::string(bytes.begin(), bytes.end());
    }();
    return png;
}

TRawHttpCapture::TRawHttpCapture() {
    ListenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ListenSocket < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(ListenSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(ListenSocket, 4) != 0 ||
        getsockname(ListenSocket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const std::string reason = std::strerror(errno);
        close(ListenSocket);
        throw std::runtime_error("capture listen: " + reason);
    }
    ListenPort = ntohs(addr.sin_port);
    Thread = std::thread(&TRawHttpCapture::Serve, this);
}

TRawHttpCapture::~TRawHttpCapture() {
    Stop = true;
    if (Thread.joinable()) Thread.join();
    close(ListenSocket);
}

std::optional<std::string> TRawHttpCapture::Captured(std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    Done.wait_for(lock, timeout, [&] { return Request.has_value(); });
    return Request;
}

// Polls in short steps so that the destructor can stop it at any time.
void TRawHttpCapture::Serve() {
    int client = -1;
    while (!Stop && client < 0) {
        pollfd p{ListenSocket, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) client = accept4(ListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (client < 0) return;
    std::string head;
    char buffer[4096];
    while (!Stop && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, size_t(n));
    }
    const std::string& body = AnswerBody();
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < answer.size()) {
        const ssize_t n = send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    close(client);
    {
        std::lock_guard lock(Mutex);
        Request = head;
    }
    Done.notify_all();
}
