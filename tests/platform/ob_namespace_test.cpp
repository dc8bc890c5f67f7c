// Ob and Io link contract: names are case-insensitive; \DosDevices, \?? and \GLOBAL??
// are one directory; links are followed to a device at open time (so they may
// dangle); creating a taken name collides, deleting a missing link fails; link
// creation can be made to fail; the routines are PASSIVE_LEVEL only.
#include "kernel/kernel.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "tests/support/platform_test.h"

#include <string>

using sim::verifier::Rule;

namespace {

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

TEST_F(ObNamespace, ALinkResolvesToItsDeviceUnderAnySpellingOfItsDirectory)
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
}

TEST_F(ObNamespace, ATakenNameCollidesWhateverItsCaseOrKind)
{
    ASSERT_EQ(sim::ob::InsertDeviceName(u"\\Device\\VARNOOBEX1", &device_), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\VARNOOBEX1"), STATUS_SUCCESS);

    EXPECT_EQ(Link(u"\\??\\com5", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(u"\\Device\\varnoobex1", u"\\Device\\Other", false), STATUS_OBJECT_NAME_COLLISION);
    DEVICE_OBJECT other{};
    EXPECT_EQ(sim::ob::InsertDeviceName(u"\\DEVICE\\VARNOOBEX1", &other), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\VARNOOBEX1") << "the first link is kept";
}

TEST_F(ObNamespace, DeletingAMissingLinkOrADeviceNameFails)
{
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\VARNOOBEX1"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\GLOBAL??\\COM5"), STATUS_SUCCESS) << "deleted under another spelling";
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::ob::Links().empty());

    ASSERT_EQ(sim::ob::InsertDeviceName(u"\\Device\\VARNOOBEX1", &device_), STATUS_SUCCESS);
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

TEST_F(ObNamespace, NamesOutsideTheKnownDirectoriesAreRefused)
{
    EXPECT_EQ(Link(u"COM5", u"\\Device\\X"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Link(u"\\NoSuchDirectory\\COM5", u"\\Device\\X"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(sim::ob::Links().empty());
}

TEST_F(ObNamespace, LinkCreationFailsWhenTheLowResourcesSimulationSaysSo)
{
    sim::lowres::FailNth("IoCreateSymbolicLink", 2);
    EXPECT_EQ(Link(u"\\??\\COM1", u"\\Device\\X", false), STATUS_SUCCESS);
    EXPECT_EQ(Link(u"\\??\\COM2", u"\\Device\\X", true), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\??\\COM2"), u"");
    EXPECT_EQ(Link(u"\\??\\COM2", u"\\Device\\X", true), STATUS_SUCCESS);
    EXPECT_FALSE(sim::ob::IsUnprotectedLink(u"\\??\\COM1"));
    EXPECT_TRUE(sim::ob::IsUnprotectedLink(u"\\??\\COM2"));
}

TEST_F(ObNamespace, LinkRoutinesArePassiveLevelOnly)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Unlink(u"\\??\\COM5");
    KeLowerIrql(old);
    ExpectViolation(Rule::BlockingAtDispatch);
}

}  // namespace
