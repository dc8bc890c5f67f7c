// The fixture of the USB bus tests: a plugged OBEX phone (no driver above it) and URBs
// built by hand and sent to its PDO as a function driver would send them.
#pragma once

#include "sim/io/io.h"
#include "sim/usb/device.h"
#include "tests/support/platform_test.h"

#include <cstring>
#include <memory>
#include <vector>

namespace bustest {

using sim::usb::Device;
using sim::usb::ObexPhone;
using sim::usb::Speed;

constexpr UCHAR kIn = ObexPhone::kBulkIn;
constexpr UCHAR kOut = ObexPhone::kBulkOut;

// A bulk transfer in flight: its URB and buffer live here until it completes.
struct Bulk {
    URB urb{};
    std::vector<uint8_t> buffer;
    std::shared_ptr<sim::io::Operation> op;

    ULONG Moved() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
    std::vector<uint8_t> Data() const { return {buffer.begin(), buffer.begin() + Moved()}; }
};

class BusTest : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        Plug(Speed::Full);
    }

    void TearDown() override
    {
        phone_.reset();
        PlatformTest::TearDown();
    }

    void Plug(Speed speed)
    {
        phone_.reset();
        phone_ = std::make_unique<Device>(
            ObexPhone::Descriptors(speed),
            Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId, ObexPhone::kInterface));
    }

    std::shared_ptr<sim::io::Operation> Submit(void *urb,
                                               std::function<void(const IO_STATUS_BLOCK &)> done = {})
    {
        sim::io::Request request;
        request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        request.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        request.parameters = [urb](IO_STACK_LOCATION &sp) { sp.Parameters.Others.Argument1 = urb; };
        return sim::io::Send(phone_->Pdo(), request, std::move(done));
    }

    NTSTATUS Call(void *urb) { return Submit(urb)->Wait().Status; }

    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, void *buffer, ULONG length, URB *urb)
    {
        memset(urb, 0, sizeof(*urb));
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0,
                                     buffer, nullptr, length, nullptr);
        return Call(urb);
    }

    // A select-configuration request for the phone's configuration naming the given
    // (interface, alternate setting) pairs, laid out as the USB library lays it out.
    // The descriptor copy it points to says bNumInterfaces = pairs.size(), as a driver
    // that selects only some interfaces passes it.
    struct Select {
        std::vector<uint8_t> descriptor;
        std::vector<uint64_t> storage;   // 8-aligned URB
        URB *Urb() { return reinterpret_cast<URB *>(storage.data()); }
        USBD_INTERFACE_INFORMATION *Interface(size_t i);
        std::vector<size_t> offsets;
    };
    std::unique_ptr<Select> BuildSelect(const std::vector<std::pair<UCHAR, UCHAR>> &pairs,
                                        ULONG maxTransferSize = 4096);

    // Selects interface 7, alternate setting 1 and returns its two pipe handles.
    void SelectObex(USBD_PIPE_HANDLE *in, USBD_PIPE_HANDLE *out);

    // Sends one bulk transfer; `flags` defaults to the direction of the endpoint with
    // short transfers allowed.
    std::unique_ptr<Bulk> Transfer(USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> data,
                                   ULONG length, ULONG flags = USBD_SHORT_TRANSFER_OK,
                                   std::function<void(const IO_STATUS_BLOCK &)> done = {});
    std::unique_ptr<Bulk> Read(USBD_PIPE_HANDLE pipe, ULONG length,
                               ULONG flags = USBD_SHORT_TRANSFER_OK,
                               std::function<void(const IO_STATUS_BLOCK &)> done = {})
    {
        return Transfer(pipe, true, {}, length, flags | USBD_TRANSFER_DIRECTION_IN, std::move(done));
    }
    std::unique_ptr<Bulk> Write(USBD_PIPE_HANDLE pipe, std::vector<uint8_t> data,
                                std::function<void(const IO_STATUS_BLOCK &)> done = {})
    {
        const ULONG length = (ULONG)data.size();
        return Transfer(pipe, false, std::move(data), length, USBD_SHORT_TRANSFER_OK, std::move(done));
    }

    // A read that must succeed, and the bytes it brought.
    std::vector<uint8_t> ReadData(USBD_PIPE_HANDLE pipe, ULONG length)
    {
        auto read = Read(pipe, length);
        EXPECT_EQ(read->op->Wait().Status, STATUS_SUCCESS);
        EXPECT_EQ(read->Usbd(), USBD_STATUS_SUCCESS);
        return read->Data();
    }
    NTSTATUS WriteNow(USBD_PIPE_HANDLE pipe, std::vector<uint8_t> data)
    {
        return Write(pipe, std::move(data))->op->Wait().Status;
    }
    // The transfer ended (waited for) with this status and USBD status.
    static ::testing::AssertionResult Failed(const std::unique_ptr<Bulk> &bulk, NTSTATUS status, USBD_STATUS usbd)
    {
        const NTSTATUS got = bulk->op->Wait().Status;
        if (got != status || bulk->Usbd() != usbd) {
            return ::testing::AssertionFailure() << "ended 0x" << std::hex << got << ", USBD 0x" << bulk->Usbd();
        }
        return ::testing::AssertionSuccess();
    }

    // A pipe request (abort or reset) sent synchronously.
    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS *usbd = nullptr);

    static std::vector<uint8_t> Bytes(size_t count, uint8_t first = 1)
    {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; i++) {
            bytes[i] = (uint8_t)(first + i);
        }
        return bytes;
    }

    std::unique_ptr<Device> phone_;
};

// The OBEX interface selected, with a scripted phone behind its two pipes.
class ScriptedBusTest : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        scripted_ = std::make_shared<sim::usb::Scripted>(*phone_, kIn, kOut);
        phone_->SetModel(scripted_);
        SelectObex(&in_, &out_);
    }

    std::shared_ptr<sim::usb::Scripted> scripted_;
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

}  // namespace bustest
