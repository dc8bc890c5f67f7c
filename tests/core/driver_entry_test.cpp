// Driver entry and unload: the platform check, the default dispatch, the banners.
#include "tests/support/driver_bench.h"

#include "sim/io/io.h"
#include "sim/kd/kd.h"

#include <regex>
#include <string>
#include <vector>

namespace {

using bench::DriverTest;

std::string Rule() { return std::string(79, '*'); }

// The middle line carries the build's time and date as the compiler gives them; the
// rest is fixed byte for byte, and the unload banner repeats the load banner's stamp.
TEST_F(DriverTest, LoadAndUnloadPrintTheThreeBannerLinesByteForByte)
{
    const std::regex middle(R"(ROVIZOROV\(Ver 1\.1\)  Time: (\d\d:\d\d:\d\d)  Date: )"
                            R"(([A-Z][a-z][a-z] [ 123]\d \d{4}) (UN)?LOADED \n)");
    sim::kd::ClearLog();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    std::vector<std::string> load = sim::kd::Log();
    ASSERT_EQ(load.size(), 3u);
    EXPECT_EQ(load[0], Rule() + "\n");
    std::smatch loaded;
    ASSERT_TRUE(std::regex_match(load[1], loaded, middle)) << load[1];
    EXPECT_FALSE(loaded[3].matched) << load[1];
    EXPECT_EQ(load[2], Rule() + "\n\n");

    sim::kd::ClearLog();
    UnloadDriver();
    std::vector<std::string> unload = sim::kd::Log();
    ASSERT_EQ(unload.size(), 3u);
    EXPECT_EQ(unload[0], Rule() + "\n");
    EXPECT_EQ(unload[1], "ROVIZOROV(Ver 1.1)  Time: " + loaded[1].str() + "  Date: " + loaded[2].str() +
                             " UNLOADED \n");
    EXPECT_EQ(unload[2], Rule() + "\n\n");
}

TEST_F(DriverTest, WithoutWdmOneTheDriverDoesNotLoadAndPrintsNothing)
{
    sim::io::SetWdmVersion(0, 90);
    sim::kd::ClearLog();
    EXPECT_EQ(LoadDriver(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::kd::Text(), "");
    EXPECT_EQ(driver_, nullptr);
}

TEST_F(DriverTest, AMajorFunctionOutsideTheTableFailsAsAnInvalidDeviceRequest)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo;
    ASSERT_EQ(AddDevice(NewPdo(), &fdo), STATUS_SUCCESS);
    EXPECT_EQ(Send(fdo, IRP_MJ_QUERY_INFORMATION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(fdo, IRP_MJ_SHUTDOWN), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
