// The platform's loader of driver images: what it refuses and why, that each load is
// a fresh copy of the file, and how a fault inside an image's code is reported. The
// images are the windows preset's fixtures (cmake/windows.cmake) and the shipped
// varnoobex.sys itself.
#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/io/loader.h"
#include "sim/ke/ke.h"
#include "tests/image/fixtures/fault_codes.h"
#include "tests/support/driver_bench.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

using ::testing::HasSubstr;

std::string Fixture(const std::string &file)
{
    return std::string(VARNOOBEX_IMAGE_FIXTURES) + "/" + file;
}

class LoaderTest : public bench::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_TRUE(std::filesystem::exists(Fixture("fault_driver.sys")))
            << "the loader's test images are built by the windows preset: cmake --build --preset windows";
    }

    NTSTATUS Load(const std::string &path, std::string *why = nullptr)
    {
        return sim::io::LoadDriverImage(path, u"fixture", &driver_, why);
    }
};

// ---- refusals: each broken image with its status and its own reason, nothing left
struct Refusal {
    const char *file;
    NTSTATUS status;
    const char *reason;
};

class RefusedImageTest : public LoaderTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedImageTest, IsRefusedWithItsReasonAndLeavesNothing)
{
    const Refusal &r = GetParam();
    const size_t devices = sim::io::DeviceCount();
    std::string why;
    EXPECT_EQ(Load(Fixture(r.file), &why), r.status);
    EXPECT_THAT(why, HasSubstr(r.reason));
    EXPECT_EQ(driver_, nullptr);
    EXPECT_EQ(sim::io::DeviceCount(), devices);
    EXPECT_EQ(sim::ex::OutstandingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, RefusedImageTest,
    ::testing::Values(
        Refusal{"missing_import.sys", STATUS_DRIVER_ENTRYPOINT_NOT_FOUND, "ntoskrnl.exe!KeBugCheckEx"},
        Refusal{"other_module.sys", STATUS_DLL_NOT_FOUND, "NDIS.SYS"},
        Refusal{"foreign_import.sys", STATUS_INVALID_IMAGE_FORMAT, "imported by ordinal"},
        Refusal{"relocations_stripped.sys", STATUS_INVALID_IMAGE_FORMAT, "no base relocations"},
        Refusal{"windows_subsystem.sys", STATUS_INVALID_IMAGE_FORMAT, "is not native (1)"},
        Refusal{"entry_in_data.sys", STATUS_INVALID_IMAGE_FORMAT, "which is not executable"},
        Refusal{"writable_code.sys", STATUS_INVALID_IMAGE_FORMAT, "both writable and executable"},
        Refusal{"bad_checksum.sys", STATUS_IMAGE_CHECKSUM_MISMATCH, "PE checksum"},
        Refusal{"libhal_dbgprint.a", STATUS_INVALID_IMAGE_FORMAT, "no MZ signature"},
        Refusal{"no_such_image.sys", STATUS_OBJECT_NAME_NOT_FOUND, "cannot read"}),
    [](const ::testing::TestParamInfo<Refusal> &info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
        return name;
    });

// ---- each load is a fresh copy: the shipped image's device counter starts again
TEST_F(LoaderTest, AReloadedImageStartsFromTheFileAgain)
{
    for (int load = 0; load < 2; load++) {
        ASSERT_EQ(Load(VARNOOBEX_IMAGE), STATUS_SUCCESS);
        ASSERT_TRUE(sim::io::IsImageDriver(driver_));
        PDEVICE_OBJECT first = nullptr;
        PDEVICE_OBJECT second = nullptr;
        ASSERT_EQ(AddDevice(NewPdo(), &first), STATUS_SUCCESS);
        ASSERT_EQ(AddDevice(NewPdo(), &second), STATUS_SUCCESS);
        EXPECT_EQ(bench::Narrow(Ext(first)->DeviceName), "\\Device\\VARNOOBEX1") << "load " << load;
        EXPECT_EQ(bench::Narrow(Ext(second)->DeviceName), "\\Device\\VARNOOBEX2") << "load " << load;
        DeleteFdo(second);
        DeleteFdo(first);
        UnloadDriver();
    }
}

// Every routine the platform offers an image is one that module exports on x64
// Windows, as the cross toolchain's import library lists them.
TEST(KernelRoutineTable, ListsOnlyRoutinesTheirModuleExports)
{
    std::map<std::string, std::set<std::string>> exports;
    for (const char *module : {"ntoskrnl", "hal", "usbd"}) {
        const std::string command = std::string(VARNOOBEX_MINGW_NM) + " -g " + VARNOOBEX_IMPORT_LIBDIR + "/lib" +
                                    module + ".a 2>/dev/null";
        FILE *nm = popen(command.c_str(), "r");
        ASSERT_NE(nm, nullptr) << command;
        char line[512];
        while (std::fgets(line, sizeof line, nm) != nullptr) {
            char name[256];
            if (std::sscanf(line, "%*x T %255s", name) == 1) {
                exports[module].insert(name);
            }
        }
        pclose(nm);
        ASSERT_GT(exports[module].size(), 10u) << command;
    }
    size_t count = 0;
    const sim::io::KernelRoutine *routines = sim::io::KernelRoutines(&count);
    for (size_t i = 0; i < count; i++) {
        std::string module = routines[i].module;
        module = module.substr(0, module.find('.'));
        std::transform(module.begin(), module.end(), module.begin(), ::tolower);
        EXPECT_TRUE(exports[module].contains(routines[i].name)) << routines[i].module << "!" << routines[i].name;
        EXPECT_NE(routines[i].address, nullptr) << routines[i].name;
    }
}

// ---- faults inside the image
class FaultTest : public LoaderTest {
protected:
    // Loads fault_driver.sys, opens its device and sends it the fault's request.
    void Provoke(int fault)
    {
        ASSERT_EQ(Load(Fixture("fault_driver.sys")), STATUS_SUCCESS);
        ASSERT_EQ(sim::io::OpenByName(u"" FAULT_DEVICE_NAME_TEXT, &file_), STATUS_SUCCESS);
        sim::io::Request request;
        request.file = file_;
        request.ioControlCode = FAULT_IOCTL(fault);
        status_ = sim::io::Call(file_->DeviceObject, request).Status;
    }

    void TearDown() override
    {
        if (file_ != nullptr) {
            sim::io::Close(file_);
        }
        LoaderTest::TearDown();
    }

    PFILE_OBJECT file_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
};

struct FaultKind {
    const char *name;
    int fault;
    const char *report;  // a regular expression over the bug check's report
};

class BugCheckTest : public FaultTest, public ::testing::WithParamInterface<FaultKind> {};

// The report names the stop code, what the instruction did, where in the image
// (address and routine), the thread, its IRQL and the request.
constexpr char kWhere[] = "\n    at fault_driver\\.sys\\+0x[0-9a-f]+ \\((Provoke|RunAway)\\+0x[0-9a-f]+\\)\n"
                          "    thread \"[^\"]+\" at IRQL ";

TEST_P(BugCheckTest, StopsTheRunWithAReportThatLocatesTheFault)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const FaultKind &kind = GetParam();
    EXPECT_EXIT(Provoke(kind.fault), ::testing::ExitedWithCode(sim::ke::kBugCheckExitStatus), kind.report);
}

#define AT_IRQL(irql) "[^\n]*\n    (at fault_driver\\.sys|at 0x[0-9a-f]+ in a platform routine, called from fault_driver\\.sys)" \
    "\\+0x[0-9a-f]+ \\((Provoke|RunAway)\\+0x[0-9a-f]+\\)\n    thread \"[^\"]+\" at IRQL " irql \
    ", in IRP_MJ_DEVICE_CONTROL \\(IRP 0x[0-9a-f]+\\)"

INSTANTIATE_TEST_SUITE_P(
    Loader, BugCheckTest,
    ::testing::Values(
        FaultKind{"NullRead", FAULT_NULL_READ,
                  "STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA: STATUS_ACCESS_VIOLATION \\(0xC0000005\\): "
                  "reading address 0x10" AT_IRQL("0")},
        FaultKind{"WriteToReadOnlyData", FAULT_WRITE_READ_ONLY,
                  "STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA: .*writing address 0x[0-9a-f]+" AT_IRQL("0")},
        FaultKind{"SettingTheIrqlInline", FAULT_WRITE_CR8,
                  "STOP 0x0000001E KMODE_EXCEPTION_NOT_HANDLED: STATUS_PRIVILEGED_INSTRUCTION \\(0xC0000096\\): "
                  "mov cr8, r64" AT_IRQL("0")},
        FaultKind{"Cli", FAULT_CLI, "STATUS_PRIVILEGED_INSTRUCTION \\(0xC0000096\\): cli," AT_IRQL("0")},
        FaultKind{"GsRelativeRead", FAULT_GS_READ, "STOP 0x0000001E .*a GS-relative access" AT_IRQL("0")},
        FaultKind{"Ud2", FAULT_UD2, "STATUS_ILLEGAL_INSTRUCTION \\(0xC000001D\\): ud2" AT_IRQL("0")},
        FaultKind{"StackOverflow", FAULT_STACK_OVERFLOW,
                  "STOP 0x0000007F UNEXPECTED_KERNEL_MODE_TRAP: EXCEPTION_DOUBLE_FAULT \\(8\\): a stack overflow"
                  AT_IRQL("0")},
        FaultKind{"DivideByZero", FAULT_DIVIDE_BY_ZERO, "STATUS_INTEGER_DIVIDE_BY_ZERO" AT_IRQL("0")},
        FaultKind{"UserSharedDataRead", FAULT_SHARED_DATA_READ, "a read of KUSER_SHARED_DATA" AT_IRQL("0")},
        FaultKind{"BadPointerIntoAPlatformRoutine", FAULT_BAD_EVENT,
                  "STOP 0x00000050 .*reading address 0x20" AT_IRQL("0")},
        FaultKind{"InvalidAddressAtDispatchLevel", FAULT_NULL_READ_AT_DISPATCH,
                  "STOP 0x000000D1 DRIVER_IRQL_NOT_LESS_OR_EQUAL: .*reading address 0x10" AT_IRQL("2")}),
    [](const ::testing::TestParamInfo<FaultKind> &info) { return std::string(info.param.name); });

// Faults the platform survives are reported as on the host build, with the image
// routine that made the call.
TEST_F(FaultTest, AVerifierViolationNamesTheImageRoutineThatCalled)
{
    Provoke(FAULT_COMPLETE_TWICE);
    const std::vector<sim::verifier::Violation> violations = TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].rule, sim::verifier::Rule::IrpCompletedTwice);
    EXPECT_THAT(violations[0].detail, ::testing::ContainsRegex(
                                           "called from fault_driver\\.sys\\+0x[0-9a-f]+ \\(DispatchControl\\+0x"));
}

TEST_F(FaultTest, PoolAnImageLeavesBehindIsOwnedByTheRoutineThatAllocatedIt)
{
    Provoke(FAULT_LEAK_POOL);
    EXPECT_EQ(status_, STATUS_SUCCESS);
    const std::vector<sim::ex::PoolBlock> left = sim::ex::Outstanding();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_THAT(left[0].owner, ::testing::MatchesRegex("driver, from fault_driver\\.sys\\+0x[0-9a-f]+ "
                                                       "\\(Provoke\\+0x[0-9a-f]+\\)"));
    EXPECT_EQ(left[0].tag, 0x746c7546u);
    sim::io::Close(file_);
    file_ = nullptr;
    UnloadDriver();
    ExpectViolation(sim::verifier::Rule::PoolLeak);
}

}  // namespace
