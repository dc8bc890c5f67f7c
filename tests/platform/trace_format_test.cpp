// The request trace's lines (tools/trace.cpp): the names of codes and their fallbacks,
// the layout of a line and which dispatch returns it leaves out, and a traced open,
// write, parked read and close of the real driver read back from the file.
#include "tools/trace.h"

#include "sim/ke/ke.h"
#include "sim/usb/device.h"
#include "tests/support/port_bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using sim::io::RequestEvent;
using Kind = RequestEvent::Kind;

// The fallback of each naming routine and the codes that take another path (holes,
// aliases, internal control codes); plain lookups are read back from the traced
// session below, and the rest of each name table is the same lookup with another number.
TEST(TraceNames, KnownCodesByTheirHeaderNamesAndTheRestInHex)
{
    struct Case {
        std::string got, expected;
    };
    const Case cases[] = {
        {tool::MajorName(IRP_MJ_PNP + 1), "IRP_MJ_(invalid)"},
        {tool::MinorName(IRP_MJ_PNP, 0x0E), "0x0E"},  // a hole in the PnP numbering
        {tool::MinorName(IRP_MJ_POWER, 7), "0x07"},
        {tool::MinorName(IRP_MJ_READ, 0), ""},
        {tool::MinorName(IRP_MJ_READ, 2), "0x02"},
        // The same value as an internal control code is another request.
        {tool::IoctlName(IOCTL_SERIAL_SET_BAUD_RATE, true), "IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE"},
        {tool::IoctlName(0x0022C0FF), "0x0022C0FF"},
        {tool::StatusName((NTSTATUS)0xC0000011L), "STATUS_END_OF_FILE"},
        {tool::StatusName((NTSTATUS)0xC00000AAL), "0xC00000AA"},
        {tool::StatusName(0x00000001), "0x00000001"},
        {tool::UrbFunctionName(URB_FUNCTION_RESET_PIPE), "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL"},
        {tool::UrbFunctionName(0x0016), "URB_FUNCTION_0x0016"},
        {tool::UsbdStatusName((USBD_STATUS)0xC0000020L), "USBD_STATUS_0xC0000020"},
        {tool::PowerStateName(SystemPowerState, PowerSystemWorking), "S0"},
        {tool::PowerStateName(SystemPowerState, PowerSystemShutdown), "S5"},
        {tool::PowerStateName(DevicePowerState, PowerDeviceUnspecified), "D?(0)"},
        {tool::IrqlName(5), "IRQL 5"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.got, c.expected);
    }
}

RequestEvent Event(Kind kind, uint64_t irpId, UCHAR major)
{
    RequestEvent event;
    event.kind = kind;
    event.irpId = irpId;
    event.major = major;
    event.time = 12345678901;  // 1234.5678901 s
    event.thread = "app 1";
    event.irql = PASSIVE_LEVEL;
    return event;
}

TEST(TraceLines, ColumnsAndTheDispatchReturnsThatSayNothingNew)
{
    tool::Tracer tracer;
    RequestEvent read = Event(Kind::Enter, 42, IRP_MJ_READ);
    read.length = 16;
    EXPECT_EQ(tracer.Line(read),
              " 1234.567890 app 1        PASSIVE  irp#42     -> IRP_MJ_READ"
              "                                                  len 16");
    RequestEvent pending = read;
    pending.kind = Kind::Return;
    pending.status = STATUS_PENDING;
    EXPECT_EQ(tracer.Line(pending),
              " 1234.567890 app 1        PASSIVE  irp#42     .. IRP_MJ_READ"
              "                                                  returned STATUS_PENDING");
    RequestEvent left = read;
    left.kind = Kind::Leave;
    left.status = STATUS_SUCCESS;
    left.information = 3;
    left.irql = DISPATCH_LEVEL;
    left.thread = "usb bus";
    EXPECT_EQ(tracer.Line(left),
              " 1234.567890 usb bus      DISPATCH irp#42     <- IRP_MJ_READ"
              "                                                  STATUS_SUCCESS                 info 3  len 16");

    // Completed inside its dispatch routine, which returned that status: the return
    // line is left out. Returned another status than it completed with: shown. (Lines
    // of URBs are read back from the traced session below.)
    for (NTSTATUS returned : {STATUS_INVALID_PARAMETER, STATUS_SUCCESS}) {
        RequestEvent control = Event(Kind::Enter, 43, IRP_MJ_DEVICE_CONTROL);
        control.ioControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
        EXPECT_NE(tracer.Line(control).find("-> IRP_MJ_DEVICE_CONTROL/IOCTL_SERIAL_GET_BAUD_RATE"), std::string::npos);
        control.kind = Kind::Leave;
        control.status = STATUS_INVALID_PARAMETER;
        tracer.Line(control);
        control.kind = Kind::Return;
        control.status = returned;
        const std::string line = tracer.Line(control);
        EXPECT_EQ(line.empty(), returned == STATUS_INVALID_PARAMETER) << line;
        EXPECT_EQ(line.find("..") == std::string::npos, line.empty()) << line;
    }
    RequestEvent power = Event(Kind::Enter, 8, IRP_MJ_POWER);
    power.minor = IRP_MN_SET_POWER;
    power.hasPower = true;
    power.powerType = DevicePowerState;
    power.powerState = PowerDeviceD3;
    const std::string powerLine = tracer.Line(power);
    EXPECT_NE(powerLine.find("-> IRP_MJ_POWER/IRP_MN_SET_POWER"), std::string::npos) << powerLine;
    EXPECT_EQ(powerLine.substr(powerLine.size() - 3), " D3") << powerLine;
}

// The real driver, traced into a file as the program traces it.
class TraceFileTest : public bench::PortTest {
protected:
    void SetUp() override
    {
        openAtSetUp_ = false;
        PortTest::SetUp();
    }
    void TearDown() override
    {
        tool::StopTrace();
        PortTest::TearDown();
    }
};

std::vector<std::string> Lines(std::FILE *file)
{
    std::rewind(file);
    std::vector<std::string> lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line = buffer;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

TEST_F(TraceFileTest, OpenWriteParkedReadAndCloseReadBackFromTheFile)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    sim::ke::NameThread("app");
    tool::StartTrace(driver_, file);

    PFILE_OBJECT handle = nullptr;
    ASSERT_EQ(sim::io::Open(fdo_, &handle), STATUS_SUCCESS);
    auto write = StartWrite({'h', 'e', 'l', 'l', 'o'});
    ASSERT_TRUE(Phone().CompleteNext(sim::usb::ObexPhone::kBulkOut));
    EXPECT_EQ(write->Wait().Information, 5u);
    ReadOp read = StartRead(16);
    Receive({'o', 'k'});
    EXPECT_EQ(read.op->Wait().Information, 2u);
    sim::io::Close(handle);
    tool::StopTrace();
    // Stopped: later requests are not written.
    Send(fdo_, IRP_MJ_FLUSH_BUFFERS);

    const std::vector<std::string> lines = Lines(file);
    std::fclose(file);
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    SCOPED_TRACE("the trace:\n" + text);

    // Every line: time, thread, IRQL, IRP, arrow, request.
    const std::regex layout(R"(^ +\d+\.\d{6} .{12} (PASSIVE |APC     |DISPATCH) irp#\d+ +(->|\.\.|<-|=>|<=) IRP_MJ_\S+.*$)");
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_match(line, layout)) << line;
    }

    // What a reader looks for, in order.
    const char *const expected[] = {
        "app          PASSIVE  irp#\\d+ +-> IRP_MJ_CREATE",
        "=> IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL",
        "=> IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER in 4096",
        "<- IRP_MJ_CREATE +STATUS_SUCCESS +info 0",
        "-> IRP_MJ_WRITE +len 5",
        "=> IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER out 5",
        "\\.\\. IRP_MJ_WRITE +returned STATUS_PENDING",
        "DISPATCH irp#\\d+ +<= IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +STATUS_SUCCESS +info \\d+ +"
        "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER out 5 USBD_STATUS_SUCCESS",
        "<- IRP_MJ_WRITE +STATUS_SUCCESS +info 5",
        "-> IRP_MJ_READ +len 16",
        "\\.\\. IRP_MJ_READ +returned STATUS_PENDING",
        // The pump's transfer comes back at DISPATCH_LEVEL and the parked read leaves;
        // the next transfer goes from the worker that restarts the pump.
        "DISPATCH irp#\\d+ +<= IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +STATUS_SUCCESS +info 0 +"
        "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER in 2 USBD_STATUS_SUCCESS",
        "<- IRP_MJ_READ +STATUS_SUCCESS +info 2 +len 16",
        "worker.* PASSIVE  irp#\\d+ +=> IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB "
        "+URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER in 4096",
        "-> IRP_MJ_CLEANUP",
        "<- IRP_MJ_CLEANUP +STATUS_SUCCESS",
        "-> IRP_MJ_CLOSE",
        "<= IRP_MJ_INTERNAL_DEVICE_CONTROL/IOCTL_INTERNAL_USB_SUBMIT_URB +STATUS_CANCELLED +info 0 +"
        "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER in 0 USBD_STATUS_CANCELED",
        "<- IRP_MJ_CLOSE +STATUS_SUCCESS",
    };
    size_t at = 0;
    for (const char *pattern : expected) {
        const std::regex wanted(pattern);
        while (at < lines.size() && !std::regex_search(lines[at], wanted)) {
            at++;
        }
        EXPECT_LT(at, lines.size()) << "not found in order: " << pattern;
        if (at == lines.size()) {
            break;
        }
        at++;
    }
    // Closed means nothing was left inside the driver: every IRP that entered left.
    size_t entered = 0;
    size_t left = 0;
    for (const std::string &line : lines) {
        entered += line.find(" -> ") != std::string::npos;
        left += line.find(" <- ") != std::string::npos;
    }
    EXPECT_EQ(entered, left);
    EXPECT_EQ(lines.back().find("<- IRP_MJ_CLOSE") != std::string::npos, true) << lines.back();
}

}  // namespace
