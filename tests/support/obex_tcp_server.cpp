// The test's OBEX-over-TCP server: accept, read, let the phone model answer, write.
#include "tests/support/obex_tcp_server.h"

#include "sim/usb/descriptors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

// How long one wait of the server thread lasts before it looks at stopping_ again.
constexpr int kPollMs = 20;

}  // namespace

ObexTcpServer::ObexTcpServer(Options options) : options_(std::move(options))
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        ADD_FAILURE() << "socket: " << errno;
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1: " << errno;
        close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ObexTcpServer::~ObexTcpServer()
{
    Stop();
}

void ObexTcpServer::Stop()
{
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
}

std::shared_ptr<sim::obex::Phone> ObexTcpServer::Model() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return model_;
}

void ObexTcpServer::Serve()
{
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        connections_++;
        ServeConnection(fd);
        close(fd);
    }
}

void ObexTcpServer::ServeConnection(int fd)
{
    auto model = std::make_shared<sim::obex::Phone>(sim::usb::ObexPhone::kBulkIn, sim::usb::ObexPhone::kBulkOut);
    {
        std::lock_guard<std::mutex> guard(lock_);
        model_ = model;
    }
    int answered = 0;
    std::vector<uint8_t> buffer(16384);
    while (!stopping_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            return;   // the client went away
        }
        if (options_.silent) {
            continue;
        }
        // A DISCONNECT comes alone and whole: the client waits for each response.
        const bool disconnect = buffer[0] == sim::obex::kDisconnect;
        for (std::vector<uint8_t> &response : model->Receive({buffer.begin(), buffer.begin() + n})) {
            if (options_.delayMs != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
            }
            if (answered == 0 && !options_.firstReply.empty()) {
                response = options_.firstReply;
            }
            if (!WriteAll(fd, response)) {
                return;
            }
            answered++;
            requests_++;
            if ((options_.closeAfter != 0 && answered >= options_.closeAfter) ||
                (disconnect && options_.closeAfterDisconnect)) {
                return;
            }
        }
    }
}

bool ObexTcpServer::WriteAll(int fd, const std::vector<uint8_t> &data)
{
    const size_t piece = options_.piece == 0 ? data.size() : options_.piece;
    for (size_t at = 0; at < data.size();) {
        const size_t want = std::min(piece, data.size() - at);
        const ssize_t n = send(fd, data.data() + at, want, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<size_t>(n);
        if (options_.piece != 0 && at < data.size()) {
            // Long enough for each piece to leave on its own segment and be read alone.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

}  // namespace bench
