// The driver under test in an image-run executable: the shipped Windows image, loaded
// from $VARNOOBEX_DRIVER or else from the path the build gives. These executables do
// not link the host build of the driver, so none of their tests can call it.
#include "tests/support/driver_bench.h"

#include "sim/io/loader.h"

#include <cstdlib>

namespace bench {

NTSTATUS LoadDriverUnderTest(const std::u16string &service, PDRIVER_OBJECT *driver)
{
    const char *path = std::getenv("VARNOOBEX_DRIVER");
    std::string why;
    const NTSTATUS status = sim::io::LoadDriverImage(path != nullptr ? path : VARNOOBEX_IMAGE, service, driver, &why);
    EXPECT_TRUE(why.empty()) << why;
    return status;
}

bool ImageUnderTest()
{
    return true;
}

}  // namespace bench
