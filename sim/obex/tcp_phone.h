// A phone whose OBEX server is a TCP peer: the bulk pipes of the OBEX data interface
// are joined to a server that speaks OBEX over a TCP stream (plain OBEX packets, no
// framing of its own), so that any such server can stand behind the driver.
//
// What the host writes on the bulk-out endpoint goes to the socket as it is, one OUT
// transfer after another. What the server sends is cut back into OBEX packets by their
// 16-bit length, and each whole packet goes to the bulk-in endpoint as one chunk
// (Device::Send), so that a short packet ends it as it ends a phone's response however
// the server's bytes were spread over TCP segments.
//
// The device to answer on is the one that last wrote (a response only ever follows a
// request). When the server closes the connection, breaks it or sends a packet whose
// length is shorter than its own header, the phone records why and stops: nothing more
// goes toward the host, and whatever the host writes later is dropped, so the
// application's reads time out as they do with a phone that stopped answering.
//
// Threads: Written runs on the bus thread at DISPATCH_LEVEL and never blocks: it only
// queues the bytes for the writer thread ("tcp phone out"), which sends them (a full
// socket buffer stalls that thread alone). The reader thread ("tcp phone in") calls
// Device::Send. Both threads end in the destructor. The device's lifetime is respected
// through Model::Detached: once it returns, neither thread touches that device again,
// and the phone stays detached (a later Written is dropped).
//
// Not modelled: the server's own timing (a response goes on as soon as it is whole),
// several devices sharing one phone, reconnecting after the server went away.
#pragma once

#include "sim/usb/device.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::obex {

class TcpPhone : public sim::usb::Model {
public:
    // Connects to host:port (a numeric address or a name; IPv4 or IPv6), trying each
    // address the name has within `timeoutMs` in all. NULL when it cannot, with a
    // one-line reason in *error ("cannot connect to 127.0.0.1:6500: Connection refused",
    // "cannot connect to ...: timed out after 3000 ms", "cannot resolve host 'x'").
    static std::shared_ptr<TcpPhone> Connect(UCHAR in, UCHAR out, const std::string &host, uint16_t port,
                                             std::string *error, int timeoutMs = 3000);
    // Shuts the connection down and joins both threads.
    ~TcpPhone() override;
    TcpPhone(const TcpPhone &) = delete;
    TcpPhone &operator=(const TcpPhone &) = delete;

    void Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) override;
    void Detached(sim::usb::Device &device) override;

    // The server closed or broke the connection (not set by our own shutdown).
    bool PeerClosed() const;
    // Why the connection ended, "" while it is up.
    std::string LastError() const;
    // Whole responses handed to the device so far, and those that had no device to go
    // to (none had written yet, or it let go of the phone).
    uint64_t Responses() const;
    uint64_t Dropped() const;
    // "host:port" as connected ("[host]:port" for an IPv6 address).
    const std::string &Peer() const { return peer_; }

private:
    TcpPhone(UCHAR in, UCHAR out, int socket, std::string peer);
    void ReaderThread();
    void WriterThread();
    // Records the end of the connection (the first reason wins) and shuts the socket
    // so that the other thread notices. lock_ held.
    void BreakLocked(const std::string &why);

    const UCHAR in_;
    const UCHAR out_;
    const int socket_;
    const std::string peer_;

    mutable std::mutex lock_;   // everything below; held across Device::Send
    std::condition_variable changed_;
    sim::usb::Device *device_ = nullptr;
    bool detached_ = false;
    bool broken_ = false;       // the peer closed or failed
    bool stopping_ = false;     // our destructor
    std::string error_;
    std::deque<std::vector<uint8_t>> outgoing_;
    uint64_t responses_ = 0;
    uint64_t dropped_ = 0;

    std::thread reader_;
    std::thread writer_;
};

}  // namespace sim::obex
