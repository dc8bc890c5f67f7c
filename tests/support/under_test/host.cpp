// The driver under test in a suite's own executable: the host build linked into it.
#include "tests/support/driver_bench.h"

#include "sim/io/io.h"

namespace bench {

NTSTATUS LoadDriverUnderTest(const std::u16string &service, PDRIVER_OBJECT *driver)
{
    return sim::io::LoadDriver(DriverEntry, service, driver);
}

bool ImageUnderTest()
{
    return false;
}

}  // namespace bench
