// The TCP phone: connecting with a bound on the time, the writer thread that carries the
// host's bytes to the server, and the reader thread that cuts the server's stream back
// into responses for the bulk-in endpoint.
#include "sim/obex/tcp_phone.h"

#include "sim/obex/protocol.h"

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
// the wait is ours to bound; >= 0 is the connected socket, blocking again.
int ConnectOne(const addrinfo &address, std::chrono::steady_clock::time_point deadline, int &error,
               bool &timedOut)
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
            pollfd p{fd, POLLOUT, 0};
            const int n = poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error = errno;
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

}  // namespace

std::shared_ptr<TcpPhone> TcpPhone::Connect(UCHAR in, UCHAR out, const std::string &host, uint16_t port,
                                            std::string *error, int timeoutMs)
{
    const std::string peer = PeerName(host, port);
    auto fail = [&](const std::string &why) {
        if (error != nullptr) {
            *error = why;
        }
        return nullptr;
    };

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses) != 0 ||
        addresses == nullptr) {
        return fail("cannot resolve host '" + host + "'");
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = -1;
    int lastError = 0;
    bool timedOut = false;
    for (const addrinfo *a = addresses; a != nullptr && fd < 0 && !timedOut; a = a->ai_next) {
        fd = ConnectOne(*a, deadline, lastError, timedOut);
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        if (timedOut) {
            return fail("cannot connect to " + peer + ": timed out after " + std::to_string(timeoutMs) + " ms");
        }
        return fail("cannot connect to " + peer + ": " + std::strerror(lastError));
    }
    if (error != nullptr) {
        error->clear();
    }
    std::shared_ptr<TcpPhone> phone(new TcpPhone(in, out, fd, peer));
    phone->reader_ = std::thread([p = phone.get()] { p->ReaderThread(); });
    phone->writer_ = std::thread([p = phone.get()] { p->WriterThread(); });
    return phone;
}

TcpPhone::TcpPhone(UCHAR in, UCHAR out, int socket, std::string peer)
    : in_(in), out_(out), socket_(socket), peer_(std::move(peer))
{
}

TcpPhone::~TcpPhone()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    // Wakes the reader out of recv and the writer out of a send that a full socket
    // buffer holds.
    shutdown(socket_, SHUT_RDWR);
    if (reader_.joinable()) {
        reader_.join();
    }
    if (writer_.joinable()) {
        writer_.join();
    }
    close(socket_);
}

void TcpPhone::Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data)
{
    if (endpoint != out_ || data.empty()) {
        return;   // a zero-length packet ends a transfer on the bus; TCP has nothing to carry
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (broken_ || stopping_ || detached_) {
            return;
        }
        device_ = &device;
        outgoing_.push_back(data);
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

void TcpPhone::BreakLocked(const std::string &why)
{
    if (stopping_ || broken_) {
        return;
    }
    broken_ = true;
    error_ = why;
    outgoing_.clear();
    shutdown(socket_, SHUT_RDWR);
    changed_.notify_all();
}

void TcpPhone::WriterThread()
{
    pthread_setname_np(pthread_self(), "tcp phone out");
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        changed_.wait(held, [&] { return stopping_ || broken_ || !outgoing_.empty(); });
        if (stopping_ || broken_) {
            return;
        }
        std::vector<uint8_t> data = std::move(outgoing_.front());
        outgoing_.pop_front();
        held.unlock();
        size_t at = 0;
        int error = 0;
        while (at < data.size()) {
            // MSG_NOSIGNAL: a peer gone away is an error here, not SIGPIPE for the process.
            const ssize_t n = send(socket_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
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
            BreakLocked("cannot send to " + peer_ + ": " + std::strerror(error));
            return;
        }
    }
}

void TcpPhone::ReaderThread()
{
    pthread_setname_np(pthread_self(), "tcp phone in");
    std::vector<uint8_t> pending;
    std::vector<uint8_t> buffer(16384);
    for (;;) {
        const ssize_t n = recv(socket_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            std::lock_guard<std::mutex> guard(lock_);
            if (error != 0) {
                BreakLocked("connection to " + peer_ + " failed: " + std::strerror(error));
            } else if (pending.empty()) {
                BreakLocked(peer_ + " closed the connection");
            } else {
                BreakLocked(peer_ + " closed the connection " + std::to_string(pending.size()) +
                            " bytes into a response");
            }
            return;
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
                std::lock_guard<std::mutex> guard(lock_);
                BreakLocked(peer_ + " sent a packet of length " + std::to_string(*length));
                return;
            }
            if (rest.size() < *length) {
                break;
            }
            std::vector<uint8_t> response(rest.begin(), rest.begin() + *length);
            used += *length;
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_ || broken_) {
                return;
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
