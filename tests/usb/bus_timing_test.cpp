// The bus's timing model, in real time: bulk data moves no faster than the bandwidth of
// the device's speed. Only lower bounds are asserted, so a loaded machine cannot fail it.
#include "tests/usb/bus_test.h"

#include <chrono>

namespace bustest {
namespace {

class BusTiming : public BusTest {
protected:
    void SetUp() override
    {
        options_.virtualTime = false;
        BusTest::SetUp();
    }

    // Seconds taken to write `transfers` transfers of 4096 bytes back to back.
    double WriteAll(Speed speed, int transfers)
    {
        Plug(speed);
        USBD_PIPE_HANDLE in, out;
        SelectObex(&in, &out);
        phone_->UseTimingModel(true);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < transfers; i++) {
            EXPECT_EQ(Write(out, Bytes(4096))->op->Wait().Status, STATUS_SUCCESS);
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(BusTiming, BulkWritesTakeAtLeastTheirTimeOnTheBus)
{
    const int transfers = 32;
    const double bytes = transfers * 4096.0;
    EXPECT_GE(WriteAll(Speed::Full, transfers), 0.95 * bytes / 1216000.0);
    EXPECT_GE(WriteAll(Speed::High, transfers), 0.95 * bytes / 53248000.0);
}

}  // namespace
}  // namespace bustest
