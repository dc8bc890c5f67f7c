// The USB bus fixture's URB builders (see bus_test.h).
#include "tests/usb/bus_test.h"

#include <cstddef>

namespace bustest {

USBD_INTERFACE_INFORMATION *BusTest::Select::Interface(size_t i)
{
    return reinterpret_cast<USBD_INTERFACE_INFORMATION *>(reinterpret_cast<uint8_t *>(storage.data()) +
                                                          offsets[i]);
}

std::unique_ptr<BusTest::Select> BusTest::BuildSelect(const std::vector<std::pair<UCHAR, UCHAR>> &pairs,
                                                      ULONG maxTransferSize)
{
    auto select = std::make_unique<Select>();
    select->descriptor = phone_->Descriptors().configurations[0];
    select->descriptor[4] = (uint8_t)pairs.size();
    const auto interfaces = sim::usb::ParseInterfaces(select->descriptor);
    std::vector<size_t> pipes;
    size_t totalPipes = 0;
    for (const auto &[number, alternate] : pairs) {
        size_t count = 0;
        for (const auto &interface : interfaces) {
            if (interface.number == number && interface.alternate == alternate) {
                count = interface.endpoints.size();
            }
        }
        pipes.push_back(count);
        totalPipes += count;
    }
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(pairs.size(), totalPipes);
    if (pairs.empty()) {
        size = sizeof(_URB_SELECT_CONFIGURATION);
    }
    select->storage.assign((size + 7) / 8, 0);
    URB *urb = select->Urb();
    UsbBuildSelectConfigurationRequest(urb, (USHORT)size,
                                       reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(select->descriptor.data()));
    size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (size_t i = 0; i < pairs.size(); i++) {
        select->offsets.push_back(offset);
        USBD_INTERFACE_INFORMATION *info = select->Interface(i);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes[i]);
        info->InterfaceNumber = pairs[i].first;
        info->AlternateSetting = pairs[i].second;
        for (size_t j = 0; j < pipes[i]; j++) {
            info->Pipes[j].MaximumTransferSize = maxTransferSize;
        }
        offset += info->Length;
    }
    return select;
}

void BusTest::SelectObex(USBD_PIPE_HANDLE *in, USBD_PIPE_HANDLE *out)
{
    auto select = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    *in = select->Interface(0)->Pipes[0].PipeHandle;
    *out = select->Interface(0)->Pipes[1].PipeHandle;
}

std::unique_ptr<Bulk> BusTest::Transfer(USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> data,
                                        ULONG length, ULONG flags,
                                        std::function<void(const IO_STATUS_BLOCK &)> done)
{
    auto bulk = std::make_unique<Bulk>();
    bulk->buffer = in ? std::vector<uint8_t>(length, 0xEE) : std::move(data);
    if (!in) {
        flags &= ~USBD_TRANSFER_DIRECTION_IN;
    }
    UsbBuildInterruptOrBulkTransferRequest(&bulk->urb, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, bulk->buffer.empty() ? nullptr : bulk->buffer.data(),
                                           nullptr, length, flags, nullptr);
    bulk->op = Submit(&bulk->urb, std::move(done));
    return bulk;
}

NTSTATUS BusTest::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS *usbd)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = Call(&urb);
    if (usbd != nullptr) {
        *usbd = urb.UrbHeader.Status;
    }
    return status;
}

}  // namespace bustest
