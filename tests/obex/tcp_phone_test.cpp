// The TCP phone through the real driver: an application opens \\.\COM5 with
// CreateFileW and speaks OBEX with WriteFile and ReadFile while the server behind the
// bulk pipes hangs up (a whole session over TCP, and a server closing after each
// session, are the e2e suite's: DefaultRun.TcpPeerIsThePhone, PtyTcp). On the bare bus
// (no driver), the responses the TCP phone queues toward the host are counted packet
// by packet, which shows where each IN transfer would end.
#include "tests/support/obex_tcp_server.h"
#include "tests/support/platform_test.h"
#include "tests/support/port_bench.h"

#include "sim/obex/phone.h"
#include "sim/obex/tcp_phone.h"
#include "sim/win32/win32.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace sim::obex;
using sim::usb::ObexPhone;
using Clock = std::chrono::steady_clock;

using bench::Eventually;

std::shared_ptr<TcpPhone> ConnectTo(const bench::ObexTcpServer &server)
{
    std::string error;
    auto phone = TcpPhone::Connect(ObexPhone::kBulkIn, ObexPhone::kBulkOut, "127.0.0.1", server.Port(), &error);
    EXPECT_NE(phone, nullptr) << error;
    return phone;
}

// ---- through the driver and the COM port

class TcpPhonePortTest : public bench::PortTest {
protected:
    void SetUp() override
    {
        // The port's read timeouts are what bound a session with a silent server.
        options_.virtualTime = false;
        openAtSetUp_ = false;
        bench::PortTest::SetUp();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        bench::PortTest::TearDown();
    }

    // Puts `model` behind the pipes, opens COM5 with a total read timeout of `readMs`,
    // and returns a client speaking through it: each read that finds nothing waits at
    // most that long.
    Client Open(const std::shared_ptr<sim::usb::Model> &model, DWORD readMs)
    {
        Phone().SetModel(model);
        Phone().SetManual(false);
        port_ = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = readMs;
        EXPECT_TRUE(SetCommTimeouts(port_, &timeouts));
        return Client(
            [this](const std::vector<uint8_t> &data) {
                DWORD written = 0;
                return WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                       written == data.size();
            },
            [this, readMs](uint8_t *buffer, size_t length) {
                // A read returns as soon as it has any byte, and a parked read also ends
                // empty when a zero-length packet closes a response that was a multiple
                // of the packet size; only an empty read after the timeout has passed
                // means the phone said nothing.
                const auto deadline = Clock::now() + std::chrono::milliseconds(readMs);
                for (size_t got = 0; got < length;) {
                    DWORD n = 0;
                    if (!ReadFile(port_, buffer + got, static_cast<DWORD>(length - got), &n, nullptr)) {
                        return false;
                    }
                    if (n == 0 && Clock::now() >= deadline) {
                        return false;
                    }
                    got += n;
                }
                return true;
            });
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(TcpPhonePortTest, ServerClosingMidSessionFailsTheNextRequestsWithinTheReadTimeout)
{
    bench::ObexTcpServer::Options options;
    options.closeAfter = 2;
    bench::ObexTcpServer server(options);
    auto tcp = ConnectTo(server);
    ASSERT_NE(tcp, nullptr);
    Client client = Open(tcp, 300);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);

    ASSERT_EQ(client.Connect(kFolderBrowsing), kSuccess);
    ASSERT_EQ(client.SetPath(u"Pictures"), kSuccess);

    // The server has hung up: the requests go nowhere and each read runs out.
    const auto start = Clock::now();
    std::vector<uint8_t> body;
    EXPECT_EQ(client.Get(u"", kFolderListingType, body), 0);
    EXPECT_EQ(client.Put(u"a.txt", {1, 2, 3}), 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(took.count(), 2 * 300 - 50);
    EXPECT_LT(took.count(), 5000);

    EXPECT_TRUE(tcp->PeerClosed());
    EXPECT_NE(tcp->LastError().find("closed the connection"), std::string::npos) << tcp->LastError();
    EXPECT_EQ(tcp->Responses(), 2u);
}

// ---- on the bare bus: the phone's side of the IN endpoint

class TcpPhoneBusTest : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        options_.virtualTime = false;
        PlatformTest::SetUp();
        usb_ = std::make_unique<sim::usb::Device>(
            ObexPhone::Descriptors(sim::usb::Speed::Full),
            sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId, ObexPhone::kInterface));
    }
    void TearDown() override
    {
        usb_.reset();
        server_.reset();
        PlatformTest::TearDown();
    }

    // Bulk-in packets one response of `length` bytes takes at full speed: whole
    // 64-byte packets and the short one that ends the transfer.
    static size_t PacketsFor(size_t length) { return length / 64 + 1; }

    // A server with these options, and a TCP phone connected to it behind the bus.
    std::shared_ptr<TcpPhone> Attach(const bench::ObexTcpServer::Options &options)
    {
        server_ = std::make_unique<bench::ObexTcpServer>(options);
        auto tcp = ConnectTo(*server_);
        if (tcp) {
            usb_->SetModel(tcp);
        }
        return tcp;
    }

    std::unique_ptr<sim::usb::Device> usb_;
    std::unique_ptr<bench::ObexTcpServer> server_;
};

TEST_F(TcpPhoneBusTest, ResponsesWrittenInSmallPiecesReachTheBusAsOneChunkEach)
{
    bench::ObexTcpServer::Options options;
    options.piece = 7;
    auto tcp = Attach(options);
    ASSERT_NE(tcp, nullptr);

    // The same requests to a model of our own tell how long the responses are.
    sim::obex::Phone reference(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
    Packet connect{kConnect, {kVersion, 0, 0x20, 0x00}, {Header::Bytes(kTarget, kFolderBrowsing)}};
    Packet get{kGet | kFinal, {}, {Header::Value(kConnectionId, 1), Header::Type(kFolderListingType)}};
    size_t expected = 0;
    for (const Packet &request : {connect, get}) {
        const std::vector<uint8_t> bytes = Encode(request);
        const auto responses = reference.Receive(bytes);
        ASSERT_EQ(responses.size(), 1u);
        expected += PacketsFor(responses[0].size());
        const uint64_t before = tcp->Responses();
        // As the bus thread would report one OUT transfer.
        tcp->Written(*usb_, ObexPhone::kBulkOut, bytes);
        ASSERT_TRUE(Eventually([&] { return tcp->Responses() >= before + 1; })) << tcp->LastError();
    }
    EXPECT_GT(expected, 2u);   // the listing spans several packets
    EXPECT_EQ(usb_->QueuedPackets(ObexPhone::kBulkIn), expected);
    EXPECT_FALSE(tcp->PeerClosed()) << tcp->LastError();
}

TEST_F(TcpPhoneBusTest, PacketShorterThanItsHeaderBreaksTheConnection)
{
    // A length shorter than the packet's own header: nothing after it can be trusted.
    bench::ObexTcpServer::Options options;
    options.firstReply = {kSuccess, 0x00, 0x02};
    auto tcp = Attach(options);
    ASSERT_NE(tcp, nullptr);

    const std::vector<uint8_t> connect = Encode(Packet{kConnect, {kVersion, 0, 0x20, 0x00}, {}});
    tcp->Written(*usb_, ObexPhone::kBulkOut, connect);
    ASSERT_TRUE(Eventually([&] { return tcp->PeerClosed(); }));
    EXPECT_NE(tcp->LastError().find("sent a packet of length 2"), std::string::npos) << tcp->LastError();

    // Nothing of it went toward the host, and a request now is dropped without harm.
    tcp->Written(*usb_, ObexPhone::kBulkOut, connect);
    EXPECT_EQ(usb_->QueuedPackets(ObexPhone::kBulkIn), 0u);
    EXPECT_EQ(tcp->Responses(), 0u);
}

TEST_F(TcpPhoneBusTest, OnlyACONNECTAtARequestBoundaryOpensANewConnection)
{
    bench::ObexTcpServer::Options options;
    options.closeAfter = 1;
    auto tcp = Attach(options);
    ASSERT_NE(tcp, nullptr);
    const std::vector<uint8_t> connect = Encode(Packet{kConnect, {kVersion, 0, 0x20, 0x00}, {}});
    tcp->Written(*usb_, ObexPhone::kBulkOut, connect);
    ASSERT_TRUE(bench::Eventually([&] { return tcp->PeerClosed(); }));

    // A PUT in two transfers whose second begins with the CONNECT opcode's byte: body
    // bytes, not a request, so it is dropped and no connection is made for it.
    Packet put{kPut | kFinal, {}, {Header::Bytes(kEndOfBody, std::vector<uint8_t>(40, kConnect))}};
    const std::vector<uint8_t> bytes = Encode(put);
    tcp->Written(*usb_, ObexPhone::kBulkOut, {bytes.begin(), bytes.begin() + 10});
    tcp->Written(*usb_, ObexPhone::kBulkOut, {bytes.begin() + 10, bytes.end()});
    tcp->Written(*usb_, ObexPhone::kBulkOut, connect);
    ASSERT_TRUE(bench::Eventually([&] { return tcp->Responses() == 2; })) << tcp->LastError();
    EXPECT_EQ(tcp->Connections(), 2);
    EXPECT_EQ(server_->Requests(), 2);
}

TEST_F(TcpPhoneBusTest, DeviceThatLetsGoOfThePhoneGetsNoMoreResponses)
{
    // The answer comes well after the device has let go, as it would after an unplug.
    bench::ObexTcpServer::Options options;
    options.delayMs = 100;
    auto tcp = Attach(options);
    ASSERT_NE(tcp, nullptr);

    tcp->Written(*usb_, ObexPhone::kBulkOut, Encode(Packet{kConnect, {kVersion, 0, 0x20, 0x00}, {}}));
    usb_->SetModel(nullptr);
    ASSERT_TRUE(Eventually([&] { return tcp->Dropped() == 1; })) << tcp->LastError();
    EXPECT_EQ(tcp->Responses(), 0u);
    EXPECT_EQ(usb_->QueuedPackets(ObexPhone::kBulkIn), 0u);
}

TEST(TcpPhoneConnectTest, UnreachableServersGiveAReasonAndNoPhone)
{
    // A bound socket that does not listen: the port refuses connections.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size), 0);
    const uint16_t port = ntohs(address.sin_port);

    std::string error;
    EXPECT_EQ(TcpPhone::Connect(ObexPhone::kBulkIn, ObexPhone::kBulkOut, "127.0.0.1", port, &error), nullptr);
    EXPECT_EQ(error, "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");

    // A listener whose backlog is full drops the handshake: only the deadline ends it.
    ASSERT_EQ(listen(fd, 0), 0);
    std::vector<std::shared_ptr<TcpPhone>> queued;
    std::string last;
    for (int i = 0; i < 8 && last.empty(); i++) {
        auto phone = TcpPhone::Connect(ObexPhone::kBulkIn, ObexPhone::kBulkOut, "127.0.0.1", port, &last, 200);
        if (phone) {
            queued.push_back(phone);
        }
    }
    EXPECT_EQ(last, "cannot connect to 127.0.0.1:" + std::to_string(port) + ": timed out after 200 ms");
    queued.clear();
    close(fd);
}

}  // namespace
