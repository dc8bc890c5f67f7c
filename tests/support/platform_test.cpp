// The base fixture: starts the host platform before each test and, after it, fails the
// test on any verifier violation it did not take and on any pool block left behind.
#include "tests/support/platform_test.h"

#include "sim/ex/ex.h"

#include <chrono>
#include <thread>

namespace bench {

void PlatformTest::SetUp()
{
    sim::StartPlatform(options_);
}

void PlatformTest::TearDown()
{
    sim::StopPlatform();
    for (const auto &v : sim::verifier::Take()) {
        ADD_FAILURE() << "verifier: " << sim::verifier::RuleName(v.rule) << ": " << v.detail;
    }
    if (sim::ex::CheckNoLeaks("end of test") != 0) {
        for (const auto &v : sim::verifier::Take()) {
            ADD_FAILURE() << "verifier: " << sim::verifier::RuleName(v.rule) << ": " << v.detail;
        }
    }
    sim::ex::ResetPool();
}

std::vector<sim::verifier::Violation> PlatformTest::TakeViolations()
{
    return sim::verifier::Take();
}

void PlatformTest::ExpectViolation(sim::verifier::Rule rule)
{
    auto violations = sim::verifier::Take();
    ASSERT_FALSE(violations.empty()) << "expected " << sim::verifier::RuleName(rule) << ", none fired";
    for (const auto &v : violations) {
        EXPECT_EQ(v.rule, rule) << "expected " << sim::verifier::RuleName(rule) << ", got "
                                << sim::verifier::RuleName(v.rule) << ": " << v.detail;
    }
}

bool Eventually(const std::function<bool()> &done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

sim::io::Request SubmitUrb(void *urb, bool toDeviceItself)
{
    sim::io::Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    request.toDeviceItself = toDeviceItself;
    request.parameters = [urb](IO_STACK_LOCATION &sp) { sp.Parameters.Others.Argument1 = urb; };
    return request;
}

std::vector<USBD_PIPE_HANDLE> SelectInterface(PDEVICE_OBJECT pdo, std::vector<uint8_t> configuration,
                                              UCHAR number, UCHAR alternate)
{
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, cd, number, alternate, -1, -1, -1);
    EXPECT_NE(id, nullptr) << "no interface " << int(number) << "/" << int(alternate);
    if (id == nullptr) {
        return {};
    }
    cd->bNumInterfaces = 1;   // the copy names only the interface selected, as drivers pass it
    USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(cd, list);
    EXPECT_NE(select, nullptr);
    if (select == nullptr) {
        return {};
    }
    std::vector<USBD_PIPE_HANDLE> pipes;
    if (sim::io::Send(pdo, SubmitUrb(select, true))->Wait().Status == STATUS_SUCCESS) {
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; i++) {
            pipes.push_back(list[0].Interface->Pipes[i].PipeHandle);
        }
    }
    ExFreePool(select);
    return pipes;
}

}  // namespace bench
