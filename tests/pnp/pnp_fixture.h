// The fixture of the PnP tests: a loaded driver and the host PnP manager plugging OBEX
// phones (or phones of a test's own descriptors), with accessors for what a started
// device leaves in the object namespace, the registry and the interface list.
#pragma once

#include "pnp/pnp.h"
#include "sim/cm/cm.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/pnp/pnp.h"
#include "tests/support/driver_bench.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pnptest {

class PnpTest : public bench::DriverTest {
public:
    static PDEVICE_EXTENSION ExtOf(const sim::pnp::Node &node)
    {
        return static_cast<PDEVICE_EXTENSION>(node.Top()->DeviceExtension);
    }

    static bool Enabled(const std::u16string &interfaceName)
    {
        return std::ranges::count(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT), interfaceName) != 0;
    }

protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        pnp_ = std::make_unique<sim::pnp::Manager>(driver_);
    }
    void TearDown() override
    {
        pnp_.reset();
        DriverTest::TearDown();
    }

    // The OBEX phone, plugged without a start unless `start`.
    std::shared_ptr<sim::pnp::Node> Phone(bool start, std::optional<std::u16string> portName = u"COM5")
    {
        sim::pnp::PlugOptions options;
        options.start = start;
        options.portName = portName;
        return pnp_->PlugPhone(options);
    }
    // A phone of the test's own configuration descriptor (one configuration).
    std::shared_ptr<sim::pnp::Node> PhoneWith(std::vector<uint8_t> configuration)
    {
        sim::pnp::PlugOptions options;
        options.start = false;
        auto set = sim::usb::MakeDescriptorSet(0xFEED, 0x0B3D, sim::usb::Speed::Full, {std::move(configuration)});
        return pnp_->Plug(set, sim::usb::Device::InstanceIdFor(0xFEED, 0x0B3D, 7), options);
    }

    static std::u16string DeviceNameOf(const sim::pnp::Node &node)
    {
        const UNICODE_STRING &name = ExtOf(node)->DeviceName;
        return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
    }
    static std::u16string InterfaceOf(const sim::pnp::Node &node)
    {
        const UNICODE_STRING &name = ExtOf(node)->InterfaceName;
        return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
    }
    // A read (into `buffer`), or a write or control request (from it), on `file` at the
    // top of the node's stack; the buffer must outlive the request.
    static std::shared_ptr<sim::io::Operation> SendOn(const sim::pnp::Node &node, PFILE_OBJECT file, UCHAR major,
                                                      void *buffer, size_t length, ULONG code = 0)
    {
        sim::io::Request request;
        request.major = major;
        request.file = file;
        request.ioControlCode = code;
        if (major == IRP_MJ_READ) {
            request.output = buffer;
            request.outputLength = static_cast<ULONG>(length);
        } else {
            request.input = buffer;
            request.inputLength = static_cast<ULONG>(length);
        }
        return sim::io::Send(node.Top(), request);
    }
    static std::optional<sim::cm::Value> SerialComm(const std::u16string &deviceName)
    {
        return sim::cm::GetValue(sim::cm::kSerialComm, deviceName);
    }

    std::unique_ptr<sim::pnp::Manager> pnp_;
};

}  // namespace pnptest
