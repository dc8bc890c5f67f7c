// The TCP phone: connecting with a bound on the time, the writer thread that carries the
// host's bytes to the server (connecting again for a CONNECT after the server closed),
// and the reader thread that cuts the server's stream back into responses for the
// bulk-in endpoint, one connection after another.
#include "sim/obex/tcp_phone.h"

#include "sim/obex/protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim::obex {

namespace {

std::string PeerName(const std::string &host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// One attempt on one address. The socket is non-blocking while it connects so that
// the wait is ours to bound, and `cancel` (-1: none) readable ends it at once; >= 0 is
// the connected socket, blocking again.
int ConnectOne(const addrinfo &address, std::chrono::steady_clock::time_point deadline, int cancel,
               int &error, bool &timedOut)
{
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int result = connect(fd, address.ai_addr, address.ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut = true;
                close(fd);
                return -1;
            }
            pollfd p[2] = {{fd, POLLOUT, 0}, {cancel, POLLIN, 0}};
            const int n = poll(p, cancel >= 0 ? 2 : 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || (cancel >= 0 && p[1].revents != 0)) {
                error = n < 0 ? errno : ECANCELED;
                close(fd);
                return -1;
            }
            if (n == 0) {
                continue;   // the deadline check above ends it
            }
            int soError = 0;
            socklen_t size = sizeof(soError);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) {
                soError = errno;
            }
            if (soError != 0) {
                error = soError;
                close(fd);
                return -1;
            }
            result = 0;
            break;
        }
    } else if (result != 0) {
        error = errno;
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Requests and responses are small and answered one at a time: no waiting to
    // gather a segment.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

// Connects to host:port within `timeoutMs`, trying each address the name has: the
// socket, or -1 with the reason in *error.
int ConnectTo(const std::string &host, uint16_t port, int timeoutMs, int cancel, std::string *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses) != 0 ||
        addresses == nullptr) {
        *error = "cannot resolve host '" + host + "'";
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = -1;
    int lastError = 0;
    bool timedOut = false;
    for (const addrinfo *a = addresses; a != nullptr && fd < 0 && !timedOut && lastError != ECANCELED;
         a = a->ai_next) {
        fd = ConnectOne(*a, deadline, cancel, lastError, timedOut);
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        *error = "cannot connect to " + PeerName(host, port) + ": " +
                 (timedOut ? "timed out after " + std::to_string(timeoutMs) + " ms" : std::strerror(lastError));
    }
    return fd;
}

}  // namespace

std::shared_ptr<TcpPhone> TcpPhone::Connect(UCHAR in, UCHAR out, const std::string &host, uint16_t port,
                                            std::string *error, int timeoutMs)
{
    std::string why;
    const int fd = ConnectTo(host, port, timeoutMs, -1, &why);
    if (error != nullptr) {
        *error = why;
    }
    if (fd < 0) {
        return nullptr;
    }
    std::shared_ptr<TcpPhone> phone(new TcpPhone(in, out, fd, host, port, timeoutMs));
    phone->reader_ = std::thread([p = phone.get()] { p->ReaderThread(); });
    phone->writer_ = std::thread([p = phone.get()] { p->WriterThread(); });
    return phone;
}

TcpPhone::TcpPhone(UCHAR in, UCHAR out, int socket, std::string host, uint16_t port, int timeoutMs)
    : in_(in), out_(out), host_(std::move(host)), port_(port), timeoutMs_(timeoutMs),
      peer_(PeerName(host_, port_)), socket_(socket)
{
    if (pipe2(cancel_, O_CLOEXEC | O_NONBLOCK) != 0) {
        cancel_[0] = cancel_[1] = -1;   // a connection attempt then ends by its time limit
    }
}

TcpPhone::~TcpPhone()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        // Wakes the reader out of recv and the writer out of a send that a full socket
        // buffer holds, or out of a connection attempt.
        if (socket_ >= 0) {
            shutdown(socket_, SHUT_RDWR);
        }
    }
    changed_.notify_all();
    if (cancel_[1] >= 0) {
        const char byte = 's';
        [[maybe_unused]] const ssize_t n = write(cancel_[1], &byte, 1);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (writer_.joinable()) {
        writer_.join();
    }
    for (int fd : {socket_, cancel_[0], cancel_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void TcpPhone::SetNotify(Notify notify)
{
    std::lock_guard<std::mutex> guard(lock_);
    notify_ = std::move(notify);
}

std::vector<TcpPhone::Outgoing> TcpPhone::SplitAtConnectLocked(const std::vector<uint8_t> &data)
{
    std::vector<Outgoing> pieces;
    auto slice = [&](size_t from, size_t to) {
        return std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from),
                                    data.begin() + static_cast<std::ptrdiff_t>(to));
    };
    size_t pieceStart = 0;
    bool pieceIsSession = false;
    size_t at = 0;
    while (at < data.size()) {
        if (requestLeft_ > 0) {
            const size_t take = std::min(requestLeft_, data.size() - at);
            requestLeft_ -= take;
            at += take;
            continue;
        }
        // At a request boundary; its header may straddle two transfers.
        if (requestHead_.empty() && data[at] == kConnect) {
            if (at > pieceStart) {
                pieces.push_back({slice(pieceStart, at), pieceIsSession});
            }
            pieceStart = at;
            pieceIsSession = true;
        }
        requestHead_.push_back(data[at++]);
        if (const std::optional<uint16_t> length = PacketLength(requestHead_)) {
            // A length shorter than its own header leaves no boundary to follow: the
            // next byte is taken as the start of a request.
            requestLeft_ = *length >= kPacketHeader ? *length - kPacketHeader : 0;
            requestHead_.clear();
        }
    }
    if (pieceStart < data.size()) {
        pieces.push_back({slice(pieceStart, data.size()), pieceIsSession});
    }
    return pieces;
}

void TcpPhone::Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data)
{
    if (endpoint != out_ || data.empty()) {
        return;   // a zero-length packet ends a transfer on the bus; TCP has nothing to carry
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_ || detached_) {
            return;
        }
        device_ = &device;
        for (Outgoing &piece : SplitAtConnectLocked(data)) {
            // With the connection gone only a CONNECT goes on, to open a new one, and
            // what follows it.
            if (broken_ && piece.session) {
                reconnecting_ = true;
            } else if (broken_ && !reconnecting_) {
                continue;
            }
            outgoing_.push_back(std::move(piece));
        }
    }
    changed_.notify_all();
}

void TcpPhone::Detached(sim::usb::Device &device)
{
    // Waits for a Send under way: the reader holds lock_ across it. What the host wrote
    // before still goes to the server (the phone had received it); only the answers
    // have nowhere to go now.
    std::lock_guard<std::mutex> guard(lock_);
    if (device_ == &device || device_ == nullptr) {
        device_ = nullptr;
        detached_ = true;
    }
}

bool TcpPhone::PeerClosed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return broken_;
}

std::string TcpPhone::LastError() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

uint64_t TcpPhone::Responses() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return responses_;
}

uint64_t TcpPhone::Dropped() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

int TcpPhone::Connections() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

void TcpPhone::TellLocked(std::unique_lock<std::mutex> &held)
{
    if (told_.empty()) {
        return;
    }
    std::vector<std::string> lines = std::move(told_);
    told_.clear();
    const Notify notify = notify_;
    held.unlock();
    if (notify) {
        for (const std::string &line : lines) {
            notify(line);
        }
    }
    held.lock();
}

void TcpPhone::BreakLocked(uint64_t generation, const std::string &why)
{
    if (stopping_ || broken_ || generation != generation_) {
        return;
    }
    broken_ = true;
    error_ = why;
    told_.push_back(why);
    // What was queued belongs to the session that ended; a CONNECT behind it stays.
    while (!outgoing_.empty() && !outgoing_.front().session) {
        outgoing_.pop_front();
    }
    if (socket_ >= 0) {
        shutdown(socket_, SHUT_RDWR);
    }
    changed_.notify_all();
}

bool TcpPhone::ReconnectLocked(std::unique_lock<std::mutex> &held)
{
    // The reader still reads the old socket until it sees the shutdown; it is closed
    // only once the reader has let go of it.
    const uint64_t old = generation_;
    changed_.wait(held, [&] { return stopping_ || readerDone_ >= old; });
    if (stopping_) {
        return false;
    }
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
    held.unlock();
    std::string why;
    const int fd = ConnectTo(host_, port_, timeoutMs_, cancel_[0], &why);
    held.lock();
    if (fd < 0) {
        // Stays broken, at the same generation, so that the next CONNECT tries again.
        error_ = why;
        if (!stopping_) {
            told_.push_back("the server is gone: " + why + "; the CONNECT is dropped");
        }
        return false;
    }
    if (stopping_) {
        close(fd);
        return false;
    }
    socket_ = fd;
    generation_++;
    connections_++;
    broken_ = false;
    error_.clear();
    told_.push_back("connected to " + peer_ + " again for a new session (connection " +
                    std::to_string(connections_) + ")");
    changed_.notify_all();
    return true;
}

bool TcpPhone::SendLocked(std::unique_lock<std::mutex> &held, const std::vector<uint8_t> &data)
{
    const int fd = socket_;
    const uint64_t generation = generation_;
    held.unlock();
    size_t at = 0;
    int error = 0;
    while (at < data.size()) {
        // MSG_NOSIGNAL: a peer gone away is an error here, not SIGPIPE for the process.
        const ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : EPIPE;
            break;
        }
        at += static_cast<size_t>(n);
    }
    held.lock();
    if (error != 0) {
        BreakLocked(generation, "cannot send to " + peer_ + ": " + std::strerror(error));
        return false;
    }
    return true;
}

void TcpPhone::WriterThread()
{
    pthread_setname_np(pthread_self(), "tcp phone out");
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        changed_.wait(held, [&] { return stopping_ || !outgoing_.empty(); });
        if (stopping_) {
            return;
        }
        Outgoing next = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (next.session && !broken_ && socket_ >= 0) {
            // A server that closes after each session may have closed already while
            // the reader has not seen the end yet: its hang-up is waiting on the socket.
            pollfd p{socket_, POLLRDHUP, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                BreakLocked(generation_, peer_ + " closed the connection");
            }
        }
        if (broken_) {
            if (!next.session) {
                continue;   // the session it belonged to has ended
            }
            const bool connected = ReconnectLocked(held);
            reconnecting_ = false;
            TellLocked(held);
            if (stopping_) {
                return;
            }
            if (!connected) {
                continue;   // the application's read times out, as with a silent phone
            }
        }
        SendLocked(held, next.data);
        TellLocked(held);
    }
}

void TcpPhone::ReaderThread()
{
    pthread_setname_np(pthread_self(), "tcp phone in");
    std::unique_lock<std::mutex> held(lock_);
    uint64_t generation = 0;
    for (;;) {
        changed_.wait(held, [&] { return stopping_ || (!broken_ && generation_ != generation); });
        if (stopping_) {
            return;
        }
        generation = generation_;
        const int fd = socket_;
        held.unlock();
        std::string why = ReadConnection(fd, generation);
        held.lock();
        BreakLocked(generation, why);
        readerDone_ = generation;
        changed_.notify_all();
        TellLocked(held);
    }
}

std::string TcpPhone::ReadConnection(int fd, uint64_t generation)
{
    std::vector<uint8_t> pending;
    std::vector<uint8_t> buffer(16384);
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A server that closes with bytes of ours unread resets the connection instead
        // of ending it: for the phone it is the same hang-up.
        if (n < 0 && errno != ECONNRESET) {
            return "connection to " + peer_ + " failed: " + std::strerror(errno);
        }
        if (n <= 0) {
            return pending.empty() ? peer_ + " closed the connection"
                                   : peer_ + " closed the connection " + std::to_string(pending.size()) +
                                         " bytes into a response";
        }
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
        size_t used = 0;
        for (;;) {
            const std::span<const uint8_t> rest(pending.data() + used, pending.size() - used);
            const std::optional<uint16_t> length = PacketLength(rest);
            if (!length) {
                break;
            }
            if (*length < kPacketHeader) {
                // No packet boundary to find again: the stream is lost.
                return peer_ + " sent a packet of length " + std::to_string(*length);
            }
            if (rest.size() < *length) {
                break;
            }
            std::vector<uint8_t> response(rest.begin(), rest.begin() + *length);
            used += *length;
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_ || broken_ || generation != generation_) {
                return {};
            }
            // A response with no request before it has nowhere to go and is dropped.
            if (device_ != nullptr && !detached_) {
                device_->Send(in_, response);
                responses_++;
            } else {
                dropped_++;
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

}  // namespace sim::obex
