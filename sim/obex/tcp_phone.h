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
// length is shorter than its own header, the phone records why and goes quiet: nothing
// more goes toward the host, and what the host writes is dropped, so the application's
// reads time out as they do with a phone that stopped answering. Many servers close
// the connection after each session, so the next CONNECT the host sends (the phone
// follows the packet boundaries of what the host writes) opens a new connection to the
// same server and goes out on it; a server that has closed but whose close the reader
// has not seen yet counts as closed too. When the server cannot be reached any more,
// that CONNECT is dropped as well. Each of these events is also told to the notify
// callback, as one line, so that a program can show it.
//
// Threads: Written runs on the bus thread at DISPATCH_LEVEL and never blocks: it only
// queues the bytes for the writer thread ("tcp phone out"), which connects again when
// a CONNECT needs it and sends them (a full socket buffer or a slow server stalls that
// thread alone). The reader thread ("tcp phone in") calls Device::Send, one connection
// after another. Both threads end in the destructor. The device's lifetime is
// respected through Model::Detached: once it returns, neither thread touches that
// device again, and the phone stays detached (a later Written is dropped).
//
// Not modelled: the server's own timing (a response goes on as soon as it is whole),
// several devices sharing one phone.
#pragma once

#include "sim/usb/device.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::obex {

class TcpPhone : public sim::usb::Model {
public:
    // Connects to host:port (a numeric address or a name; IPv4 or IPv6), trying each
    // address the name has within `timeoutMs` in all (each later connection has the
    // same limit). NULL when it cannot, with a one-line reason in *error ("cannot
    // connect to 127.0.0.1:6500: Connection refused", "cannot connect to ...: timed out
    // after 3000 ms", "cannot resolve host 'x'").
    static std::shared_ptr<TcpPhone> Connect(UCHAR in, UCHAR out, const std::string &host, uint16_t port,
                                             std::string *error, int timeoutMs = 3000);
    // Shuts the connection down and joins both threads.
    ~TcpPhone() override;
    TcpPhone(const TcpPhone &) = delete;
    TcpPhone &operator=(const TcpPhone &) = delete;

    void Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) override;
    void Detached(sim::usb::Device &device) override;

    // Called from the phone's threads, without its lock, with one line for each change
    // of the connection: the server closed it, a new one was made for a CONNECT, or
    // none could be made and the CONNECT was dropped.
    using Notify = std::function<void(const std::string &line)>;
    void SetNotify(Notify notify);

    // The server closed or broke the connection and no new one has been made since
    // (not set by our own shutdown).
    bool PeerClosed() const;
    // Why the latest connection ended (or why none could be made), "" while it is up.
    std::string LastError() const;
    // Whole responses handed to the device so far, and those that had no device to go
    // to (none had written yet, or it let go of the phone).
    uint64_t Responses() const;
    uint64_t Dropped() const;
    // Connections made to the server, the first included.
    int Connections() const;
    // "host:port" as connected ("[host]:port" for an IPv6 address).
    const std::string &Peer() const { return peer_; }

private:
    // Bytes for the writer thread; `session` when they begin with a CONNECT.
    struct Outgoing {
        std::vector<uint8_t> data;
        bool session = false;
    };

    TcpPhone(UCHAR in, UCHAR out, int socket, std::string host, uint16_t port, int timeoutMs);
    void ReaderThread();
    // Reads connection `generation` on `fd` until it ends, handing each whole response
    // to the device; returns why it ended ("" when it was replaced or we stop).
    std::string ReadConnection(int fd, uint64_t generation);
    void WriterThread();
    // Sends `data` on the current connection; false (with the connection broken) when
    // it fails. lock_ held on entry and on return, released while sending.
    bool SendLocked(std::unique_lock<std::mutex> &held, const std::vector<uint8_t> &data);
    // Makes a new connection for a CONNECT, once the reader has let go of the old one.
    // lock_ held on entry and on return, released while connecting. False (with the
    // reason kept and told) when none could be made.
    bool ReconnectLocked(std::unique_lock<std::mutex> &held);
    // Records the end of connection `generation` (the first reason wins; a connection
    // already replaced is left alone) and shuts its socket so that the other thread
    // notices. lock_ held.
    void BreakLocked(uint64_t generation, const std::string &why);
    // Splits one OUT transfer at the start of each CONNECT request it holds, keeping
    // track of request boundaries across transfers. lock_ held.
    std::vector<Outgoing> SplitAtConnectLocked(const std::vector<uint8_t> &data);
    // Hands the notify callback the lines kept in told_. lock_ held on entry and on
    // return, released while it is called.
    void TellLocked(std::unique_lock<std::mutex> &held);

    const UCHAR in_;
    const UCHAR out_;
    const std::string host_;
    const uint16_t port_;
    const int timeoutMs_;
    const std::string peer_;
    // Written to by the destructor to end a connection attempt under way.
    int cancel_[2] = {-1, -1};

    mutable std::mutex lock_;   // everything below; held across Device::Send
    std::condition_variable changed_;
    int socket_ = -1;
    uint64_t generation_ = 1;   // the connection socket_ carries
    uint64_t readerDone_ = 0;   // the last connection the reader has finished with
    int connections_ = 1;
    sim::usb::Device *device_ = nullptr;
    bool detached_ = false;
    bool broken_ = false;       // the peer closed or failed, or no new connection came
    bool reconnecting_ = false; // a CONNECT came while broken_: what follows it is kept
    bool stopping_ = false;     // our destructor
    std::string error_;
    std::deque<Outgoing> outgoing_;
    // Where the host's bytes stand in its requests: the header bytes of the next
    // request seen so far, and what is left of the current one.
    std::vector<uint8_t> requestHead_;
    size_t requestLeft_ = 0;
    uint64_t responses_ = 0;
    uint64_t dropped_ = 0;
    Notify notify_;
    std::vector<std::string> told_;   // lines for the notify callback, lock_ held

    std::thread reader_;
    std::thread writer_;
};

}  // namespace sim::obex
