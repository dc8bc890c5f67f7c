// An OBEX session with the phone model through the real driver: the application opens
// \\.\COM5 with CreateFileW and speaks OBEX with WriteFile and ReadFile; the bus runs on
// its own thread and the phone answers each request as it arrives.
#include "tests/support/port_bench.h"

#include "sim/obex/phone.h"
#include "sim/win32/win32.h"

#include <chrono>
#include <thread>

namespace {

using namespace sim::obex;
using sim::usb::ObexPhone;

class ObexPortTest : public bench::PortTest {
protected:
    void SetUp() override
    {
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

    // Reads return at once with what the ring holds, so the client polls until a
    // response is whole; a generous real-time bound keeps a lost byte from hanging.
    bool ReadExactly(uint8_t *buffer, size_t length)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        size_t got = 0;
        while (got < length) {
            DWORD n = 0;
            if (!ReadFile(port_, buffer + got, static_cast<DWORD>(length - got), &n, nullptr)) {
                ADD_FAILURE() << "ReadFile: " << GetLastError();
                return false;
            }
            got += n;
            if (n == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "no response after " << got << " of " << length << " bytes";
                    return false;
                }
                std::this_thread::yield();
            }
        }
        return true;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ObexPortTest, PutOfThreeHundredKilobytesThroughComPortComesBackWhole)
{
    auto phone = std::make_shared<sim::obex::Phone>(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
    Phone().SetModel(phone);
    // Real-time traffic: the bus completes transfers by itself.
    Phone().SetManual(false);
    port_ = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));

    Client client(
        [this](const std::vector<uint8_t> &data) {
            DWORD written = 0;
            return WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                   written == data.size();
        },
        [this](uint8_t *buffer, size_t length) { return ReadExactly(buffer, length); });

    ASSERT_EQ(client.Connect(kFolderBrowsing), kSuccess);
    EXPECT_EQ(client.Who(), kFolderBrowsing);
    ASSERT_EQ(client.SetPath(u"Pictures"), kSuccess);

    std::vector<uint8_t> data(300 * 1024 + 5);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    }
    ASSERT_EQ(client.Put(u"photo.jpg", data), kSuccess);
    EXPECT_EQ(phone->File("Pictures/photo.jpg"), data);
    std::vector<uint8_t> back;
    ASSERT_EQ(client.Get(u"photo.jpg", "", back), kSuccess);
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    EXPECT_EQ(client.Disconnect(), kSuccess);
}

}  // namespace
