// Cm contract: a PDO's hardware key as IoOpenDeviceRegistryKey opens it; value
// records in the layout ZwQueryValueKey returns, with the data on the first ULONG
// boundary after the name and the two different "too small" statuses; kernel handles
// tracked until ZwClose; the Rtl registry routines under the device map and absolute
// paths, with their not-found failures.
#include "kernel/kernel.h"
#include "sim/cm/cm.h"
#include "tests/support/platform_test.h"

#include <cstring>
#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

const std::u16string kInstance = u"USB\\VID_0421&PID_0500&MI_07\\6&1f2e3d4c&0&0007";

class CmRegistry : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        sim::cm::RegisterDevice(&pdo_, kInstance);
    }

    HANDLE OpenDeviceKey()
    {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key), STATUS_SUCCESS);
        return key;
    }

    // ZwQueryValueKey into a buffer of `size` bytes pre-filled with 0xEE.
    NTSTATUS Query(HANDLE key, const char16_t *name, KEY_VALUE_INFORMATION_CLASS cls, size_t size, ULONG *result)
    {
        buffer_.assign(size, 0xEE);
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        return ZwQueryValueKey(key, &valueName, cls, buffer_.data(), static_cast<ULONG>(size), result);
    }
    const KEY_VALUE_FULL_INFORMATION *Full() const
    {
        return reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(buffer_.data());
    }

    std::vector<unsigned char> buffer_;
    DEVICE_OBJECT pdo_{};
};

TEST_F(CmRegistry, FullRecordPutsTheDataOnTheFirstUlongBoundaryAfterTheNameAndMissingValuesAreNotFound)
{
    sim::cm::SetDeviceString(&pdo_, u"PortName", u"COM5");
    sim::cm::SetDeviceValue(&pdo_, u"Abc", REG_DWORD, "\x01\x02\x03\x04", 4);
    HANDLE key = OpenDeviceKey();
    ULONG result = 0;

    ASSERT_EQ(Query(key, u"PortName", KeyValueFullInformation, 168, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 20u + 16u + 10u);
    EXPECT_EQ(Full()->TitleIndex, 0u);
    EXPECT_EQ(Full()->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Full()->NameLength, 16u);
    EXPECT_EQ(Full()->DataOffset, 36u);
    EXPECT_EQ(Full()->DataLength, 10u);
    EXPECT_EQ(memcmp(Full()->Name, u"PortName", 16), 0);
    EXPECT_EQ(memcmp(buffer_.data() + 36, u"COM5", 10), 0);
    EXPECT_EQ(buffer_[46], 0xEE) << "nothing written past the record";

    // A 6-byte name ends at 26: the data moves up to 28.
    ASSERT_EQ(Query(key, u"abc", KeyValueFullInformation, 64, &result), STATUS_SUCCESS);
    EXPECT_EQ(Full()->DataOffset, 28u);
    EXPECT_EQ(result, 32u);
    EXPECT_EQ(memcmp(Full()->Name, u"Abc", 6), 0) << "the name as written, though queried in another case";
    EXPECT_EQ(buffer_[26], 0xEE) << "the alignment gap is not written";

    // A missing or deleted value is not found.
    EXPECT_EQ(Query(key, u"NoSuchValue", KeyValueFullInformation, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    sim::cm::DeleteDeviceValue(&pdo_, u"portname");
    EXPECT_EQ(Query(key, u"PortName", KeyValueFullInformation, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(CmRegistry, OverflowWritesWhatFitsAndTooSmallWritesNothing)
{
    // In a 168-byte buffer "PortName"'s data starts at 36, so 132 bytes fit and 134 do not.
    std::vector<unsigned char> data(134, 'a');
    sim::cm::SetDeviceValue(&pdo_, u"PortName", REG_SZ, data.data(), 132);
    HANDLE key = OpenDeviceKey();
    ULONG result = 0;
    ASSERT_EQ(Query(key, u"PortName", KeyValueFullInformation, 168, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 168u);

    sim::cm::SetDeviceValue(&pdo_, u"PortName", REG_SZ, data.data(), 134);
    ASSERT_EQ(Query(key, u"PortName", KeyValueFullInformation, 168, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 170u) << "the length the whole record needs";
    EXPECT_EQ(Full()->DataLength, 134u) << "the fixed part is complete";
    EXPECT_EQ(Full()->DataOffset, 36u);
    EXPECT_EQ(buffer_[167], 'a') << "the data that fits is copied";

    ASSERT_EQ(Query(key, u"PortName", KeyValueFullInformation, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 170u);
    EXPECT_EQ(buffer_[0], 0xEE) << "not even the fixed part fits: nothing is written";
    ZwClose(key);
}

TEST_F(CmRegistry, HandlesAreTrackedUntilClosedAndOnlyAKnownPdoHasKeys)
{
    HANDLE key = OpenDeviceKey();
    auto open = sim::cm::OpenHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].handle, key);
    EXPECT_EQ(open[0].keyPath, sim::cm::HardwareKeyPath(&pdo_));
    EXPECT_EQ(open[0].openedBy, "IoOpenDeviceRegistryKey");

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(sim::cm::OpenHandles().empty());
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    ExpectViolation(Rule::InvalidParameter);

    DEVICE_OBJECT fdo{};
    HANDLE none = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &none),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, 8, STANDARD_RIGHTS_READ, &none), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::cm::OpenHandles().empty());

    HANDLE software = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &software), STATUS_SUCCESS);
    EXPECT_NE(sim::cm::OpenHandles()[0].keyPath, sim::cm::HardwareKeyPath(&pdo_));
    ZwClose(software);
}

TEST_F(CmRegistry, DeviceValuesOutliveThePdoAndReturnWithItsInstance)
{
    sim::cm::SetDeviceString(&pdo_, u"PortName", u"COM7");
    sim::cm::UnregisterDevice(&pdo_);
    EXPECT_EQ(sim::cm::InstanceId(&pdo_), u"");

    DEVICE_OBJECT replugged{};
    sim::cm::RegisterDevice(&replugged, kInstance);
    EXPECT_EQ(sim::cm::GetString(sim::cm::HardwareKeyPath(&replugged), u"PortName"), u"COM7");
}

TEST_F(CmRegistry, RtlWriteCreatesTheSerialCommKeyReplacesValuesAndDeleteNeedsThemThere)
{
    EXPECT_FALSE(sim::cm::KeyExists(sim::cm::kSerialComm));
    const WCHAR data[] = u"COM5\0";  // the name and two NULs: 12 bytes
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\VARNOOBEX1", REG_SZ,
                                    const_cast<WCHAR *>(data), 12),
              STATUS_SUCCESS);
    auto value = sim::cm::GetValue(sim::cm::kSerialComm, u"\\device\\varnoobex1");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data.size(), 12u);
    EXPECT_EQ(sim::cm::GetString(sim::cm::kSerialComm, u"\\Device\\VARNOOBEX1"), u"COM5");

    const WCHAR other[] = u"COM9";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SerialComm",
                                    u"\\Device\\VARNOOBEX1", REG_SZ, const_cast<WCHAR *>(other), 10),
              STATUS_SUCCESS);
    auto values = sim::cm::Values(sim::cm::kSerialComm);
    ASSERT_EQ(values.size(), 1u) << "the same value, replaced";
    EXPECT_EQ(values[0].name, u"\\Device\\VARNOOBEX1");
    EXPECT_EQ(sim::cm::GetString(sim::cm::kSerialComm, u"\\Device\\VARNOOBEX1"), u"COM9");

    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchKey\\Deeper", u"X", REG_SZ,
                                    const_cast<WCHAR *>(other), 10),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "only the last key of the path is created";

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"serialcomm", u"\\DEVICE\\VARNOOBEX1"), STATUS_SUCCESS);
    EXPECT_TRUE(sim::cm::Values(sim::cm::kSerialComm).empty());
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\VARNOOBEX1"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchKey", u"X"), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
