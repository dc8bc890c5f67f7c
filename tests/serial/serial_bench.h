// The serial bench: the started device on the OBEX phone with its port closed, opened
// and closed through the driver's own create, cleanup and close, and control requests
// sent as DeviceIoControl sends them.
#pragma once

#include "serial/serial.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "tests/support/port_bench.h"

#include <cstring>
#include <vector>

namespace bench {

class SerialTest : public PortTest {
protected:
    void SetUp() override
    {
        openAtSetUp_ = false;
        PortTest::SetUp();
    }
    void TearDown() override
    {
        if (file_ != nullptr) {
            sim::io::Close(file_);
            file_ = nullptr;
        }
        PortTest::TearDown();
    }

    // Opens the port as an application does; the bench closes it at the end.
    NTSTATUS OpenPort()
    {
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = sim::io::Open(fdo_, &file);
        if (NT_SUCCESS(status)) {
            file_ = file;
        }
        return status;
    }
    void ClosePortHandle()
    {
        PFILE_OBJECT file = file_;
        file_ = nullptr;
        sim::io::Close(file);
    }

    // A request of a bare major function sent straight to the driver (no file object).
    IO_STATUS_BLOCK Major(UCHAR major)
    {
        sim::io::Request request;
        request.major = major;
        return sim::io::Call(fdo_, request);
    }

    // A control request on the open handle; `out` receives Information bytes.
    sim::io::Request Request(ULONG code, const void *in = nullptr, ULONG inLength = 0, void *out = nullptr,
                             ULONG outLength = 0)
    {
        sim::io::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.file = file_;
        request.ioControlCode = code;
        request.input = in;
        request.inputLength = inLength;
        request.output = out;
        request.outputLength = outLength;
        return request;
    }
    IO_STATUS_BLOCK Ioctl(ULONG code, const void *in = nullptr, ULONG inLength = 0, void *out = nullptr,
                          ULONG outLength = 0)
    {
        return sim::io::Call(fdo_, Request(code, in, inLength, out, outLength));
    }
    template <typename T>
    NTSTATUS Set(ULONG code, const T &value)
    {
        return Ioctl(code, &value, sizeof(T)).Status;
    }
    template <typename T>
    T Get(ULONG code)
    {
        T value;
        std::memset(&value, 0xA5, sizeof(T));
        IO_STATUS_BLOCK io = Ioctl(code, nullptr, 0, &value, sizeof(T));
        EXPECT_EQ(io.Status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(io.Information, sizeof(T)) << std::hex << code;
        return value;
    }

    // Byte for byte the same record.
    template <typename T>
    static ::testing::AssertionResult Same(const T &got, const T &expected)
    {
        if (std::memcmp(&got, &expected, sizeof(T)) != 0) {
            return ::testing::AssertionFailure() << "the record differs";
        }
        return ::testing::AssertionSuccess();
    }
    // Set, then get: the record comes back unchanged.
    template <typename T>
    ::testing::AssertionResult RoundTrips(ULONG set, ULONG get, const T &value)
    {
        if (Set(set, value) != STATUS_SUCCESS) {
            return ::testing::AssertionFailure() << "refused";
        }
        return Same(Get<T>(get), value);
    }

    PFILE_OBJECT file_ = nullptr;
};

}  // namespace bench
