// An OBEX-over-TCP server for tests of the TCP phone: it listens on 127.0.0.1 on an
// ephemeral port and serves one connection at a time, one after another, with a fresh
// OBEX phone model (sim::obex::Phone) as the brain of each: the bytes that arrive are
// handed to the model, and the responses it returns are written back.
//
// A server thread accepts and serves; every wait in it is bounded, so Stop (and the
// destructor) ends it promptly whatever the peer does.
#pragma once

#include "sim/obex/phone.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class ObexTcpServer {
public:
    struct Options {
        // Closes each connection once it has answered this many requests (0: never).
        int closeAfter = 0;
        // Closes each connection once it has answered a DISCONNECT, as many servers do.
        bool closeAfterDisconnect = false;
        // Accepts and reads, but never answers.
        bool silent = false;
        // Writes each response in pieces of this many bytes with a pause between them,
        // so that they leave as separate TCP segments (0: one write).
        size_t piece = 0;
        // Waits this long before each answer.
        int delayMs = 0;
        // Answers the first request of each connection with these bytes instead of the
        // model's response (empty: the model's).
        std::vector<uint8_t> firstReply;
    };

    ObexTcpServer() : ObexTcpServer(Options{}) {}
    explicit ObexTcpServer(Options options);
    ~ObexTcpServer();
    ObexTcpServer(const ObexTcpServer &) = delete;
    ObexTcpServer &operator=(const ObexTcpServer &) = delete;

    uint16_t Port() const { return port_; }
    // Closes the listening socket and any connection, and joins the server thread.
    void Stop();

    // Connections accepted, and requests answered over all of them.
    int Connections() const { return connections_; }
    int Requests() const { return requests_; }
    // The model of the latest connection (NULL before the first).
    std::shared_ptr<sim::obex::Phone> Model() const;

private:
    void Serve();
    void ServeConnection(int fd);
    bool WriteAll(int fd, const std::vector<uint8_t> &data);

    Options options_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> requests_{0};
    mutable std::mutex lock_;
    std::shared_ptr<sim::obex::Phone> model_;
    std::thread thread_;
};

}  // namespace bench
