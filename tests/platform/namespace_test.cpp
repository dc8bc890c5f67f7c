// The object namespace and device interfaces. Names are case-insensitive;
// \DosDevices, \?? and \GLOBAL?? are one directory; links are followed to a device at
// open time (so they may dangle); a taken name collides, deleting a missing link
// fails. IoRegisterDeviceInterface names an instance after the PDO's instance ID and
// the class, returns the same name in a new caller-owned buffer when asked twice, and
// refuses a device object the PnP manager does not know; enabling and disabling
// follow the documented statuses; an enabled interface of a named PDO is openable.
#include "tests/support/test_driver.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/interfaces.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"

#include <string>

namespace {

using bench::Text;

class ObNamespace : public bench::PlatformTest {
protected:
    // Io routines take counted strings; these keep the tests' own lines short.
    static NTSTATUS Link(const char16_t *link, const char16_t *target, bool unprotected = true)
    {
        UNICODE_STRING l, t;
        RtlInitUnicodeString(&l, link);
        RtlInitUnicodeString(&t, target);
        return unprotected ? IoCreateUnprotectedSymbolicLink(&l, &t) : IoCreateSymbolicLink(&l, &t);
    }
    static NTSTATUS Unlink(const char16_t *link)
    {
        UNICODE_STRING l;
        RtlInitUnicodeString(&l, link);
        return IoDeleteSymbolicLink(&l);
    }

    DEVICE_OBJECT device_{};  // the namespace only records the pointer
};

TEST_F(ObNamespace, ALinkResolvesUnderAnySpellingATakenNameCollidesAndOnlyALinkIsDeleted)
{
    ASSERT_EQ(sim::ob::InsertDeviceName(u"\\Device\\VARNOOBEX1", &device_), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\VARNOOBEX1"), STATUS_SUCCESS);

    for (const char16_t *name : {u"\\DosDevices\\COM5", u"\\??\\COM5", u"\\GLOBAL??\\com5", u"\\dosdevices\\Com5"}) {
        EXPECT_EQ(sim::ob::Resolve(name), &device_);
    }
    EXPECT_EQ(sim::ob::Resolve(u"\\device\\varnoobex1"), &device_);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\??\\COM5"), u"\\Device\\VARNOOBEX1");
    EXPECT_TRUE(sim::ob::IsUnprotectedLink(u"\\GLOBAL??\\COM5"));
    EXPECT_EQ(sim::ob::NameOf(&device_), u"\\Device\\VARNOOBEX1");
    EXPECT_EQ(sim::ob::Resolve(u"\\DosDevices\\COM6"), nullptr);

    EXPECT_EQ(Link(u"\\??\\com5", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(u"\\Device\\varnoobex1", u"\\Device\\Other", false), STATUS_OBJECT_NAME_COLLISION);
    DEVICE_OBJECT other{};
    EXPECT_EQ(sim::ob::InsertDeviceName(u"\\DEVICE\\VARNOOBEX1", &other), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\VARNOOBEX1") << "the first link is kept";

    // Deleting: under any spelling, once; a missing link or a device name fails.
    EXPECT_EQ(Unlink(u"\\GLOBAL??\\COM5"), STATUS_SUCCESS) << "deleted under another spelling";
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_EQ(Unlink(u"\\Device\\VARNOOBEX1"), static_cast<NTSTATUS>(0xC0000024)) << "STATUS_OBJECT_TYPE_MISMATCH";
    EXPECT_EQ(sim::ob::Resolve(u"\\Device\\VARNOOBEX1"), &device_) << "a device name is not a link to delete";
}

TEST_F(ObNamespace, LinksAreFollowedAtResolveTimeSoTheyMayDangleOrLoop)
{
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\VARNOOBEX1"), STATUS_SUCCESS) << "the target need not exist";
    EXPECT_EQ(sim::ob::Resolve(u"\\DosDevices\\COM5"), nullptr);

    ASSERT_EQ(sim::ob::InsertDeviceName(u"\\Device\\VARNOOBEX1", &device_), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\??\\MODEM", u"\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Resolve(u"\\??\\MODEM"), &device_) << "a chain of links ends at the device";

    sim::ob::RemoveDeviceName(&device_);
    EXPECT_EQ(sim::ob::Resolve(u"\\??\\MODEM"), nullptr);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\VARNOOBEX1") << "the link itself stays";

    ASSERT_EQ(Link(u"\\??\\A", u"\\??\\B"), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\??\\B", u"\\??\\A"), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Resolve(u"\\??\\A"), nullptr) << "a loop ends instead of hanging";
}

const std::u16string kComPortName =
    u"\\??\\USB#VID_0421&PID_0500&MI_07#6&1f2e3d4c&0&0007#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

class Interfaces : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        sim::cm::RegisterDevice(&pdo_, u"USB\\VID_0421&PID_0500&MI_07\\6&1f2e3d4c&0&0007");
    }

    NTSTATUS Register(UNICODE_STRING *name, PDEVICE_OBJECT pdo = nullptr, PUNICODE_STRING reference = nullptr)
    {
        *name = UNICODE_STRING{};
        return IoRegisterDeviceInterface(pdo != nullptr ? pdo : &pdo_, &GUID_DEVINTERFACE_COMPORT, reference, name);
    }

    DEVICE_OBJECT pdo_{};
};

TEST_F(Interfaces, RegisteringNamesTheInstanceAndTwiceGivesTheSameNameInANewBuffer)
{
    UNICODE_STRING first, second;
    ASSERT_EQ(Register(&first), STATUS_SUCCESS);
    EXPECT_EQ(Text(first), kComPortName);
    EXPECT_EQ(first.MaximumLength, first.Length + 2);
    EXPECT_EQ(first.Buffer[first.Length / 2], 0) << "NUL-terminated";
    auto blocks = sim::ex::Outstanding();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].owner, "IoRegisterDeviceInterface");

    ASSERT_EQ(Register(&second), STATUS_SUCCESS);
    EXPECT_EQ(Text(second), kComPortName);
    EXPECT_NE(second.Buffer, first.Buffer) << "each caller owns its copy";
    EXPECT_EQ(sim::io::Interfaces().size(), 1u) << "one instance";

    UNICODE_STRING reference, third;
    RtlInitUnicodeString(&reference, u"ref");
    ASSERT_EQ(Register(&third, nullptr, &reference), STATUS_SUCCESS);
    EXPECT_EQ(Text(third), kComPortName + u"\\ref");
    EXPECT_EQ(sim::io::Interfaces().size(), 2u) << "a reference string makes another instance";

    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    RtlFreeUnicodeString(&third);
}

TEST_F(Interfaces, UnknownDevicesBadReferenceStringsAndLowResourcesFailWithoutTouchingTheName)
{
    DEVICE_OBJECT fdo{};
    UNICODE_STRING name;
    EXPECT_EQ(Register(&name, &fdo), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(name.Buffer, nullptr);

    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"a\\b");
    EXPECT_EQ(Register(&name, nullptr, &reference), STATUS_INVALID_DEVICE_REQUEST);

    sim::lowres::FailNth("IoRegisterDeviceInterface", 1);
    EXPECT_EQ(Register(&name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(name.Buffer, nullptr);
    sim::lowres::FailNth("ExAllocatePool", 1);
    EXPECT_EQ(Register(&name), STATUS_INSUFFICIENT_RESOURCES) << "the name's pool can fail too";
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(sim::ex::OutstandingCount(), 0u);
    EXPECT_TRUE(sim::io::Interfaces().empty());
}

TEST_F(Interfaces, EnableAndDisableFollowTheDocumentedStatuses)
{
    UNICODE_STRING name;
    ASSERT_EQ(Register(&name), STATUS_SUCCESS);
    EXPECT_TRUE(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty()) << "registered disabled";
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto enabled = sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled[0], kComPortName);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());

    RtlFreeUnicodeString(&name);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_INVALID_PARAMETER) << "a released name";
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\USB#VID_0000&PID_0000#x#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Interfaces, AnEnabledInterfaceOfANamedPdoCanBeOpenedByItsName)
{
    ASSERT_EQ(sim::ob::InsertDeviceName(u"\\Device\\USBPDO-3", &pdo_), STATUS_SUCCESS);
    UNICODE_STRING name;
    ASSERT_EQ(Register(&name), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Resolve(kComPortName), nullptr) << "not while disabled";

    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Resolve(kComPortName), &pdo_);
    std::u16string lower = kComPortName;
    for (auto &c : lower) {
        c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    }
    EXPECT_EQ(sim::ob::Resolve(lower), &pdo_);

    EXPECT_EQ(sim::io::DisableInterfacesOf(&pdo_), 1) << "the driver left it enabled";
    EXPECT_EQ(sim::ob::Resolve(kComPortName), nullptr);
    EXPECT_EQ(sim::io::DisableInterfacesOf(&pdo_), 0);
    RtlFreeUnicodeString(&name);
}

}  // namespace
