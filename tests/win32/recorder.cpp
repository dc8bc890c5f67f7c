// The recording device: its handler and cancel routine, and the fixture that creates
// it per test and checks that every handle was closed.
#include "tests/win32/recorder.h"

#include "sim/io/io.h"
#include "sim/win32/win32.h"

#include <cstring>
#include <deque>

namespace w32test {
namespace {

struct Recorder {
    std::mutex lock;
    std::vector<Seen> seen;
    std::map<std::pair<UCHAR, ULONG>, Answer> answers;
    std::map<UCHAR, bool> hold;  // major -> cancelable
    std::deque<PIRP> held;
};

Recorder *recorder = nullptr;

void Finish(PIRP irp, NTSTATUS status, const std::vector<uint8_t> &output)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG room = 0;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        room = sp->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (sp->MajorFunction == IRP_MJ_READ) {
        room = sp->Parameters.Read.Length;
    }
    ULONG_PTR information = 0;
    if (!NT_ERROR(status)) {
        information = std::min<size_t>(room, output.size());
        if (information != 0) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, output.data(), information);
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        std::erase(recorder->held, irp);
    }
    Finish(irp, STATUS_CANCELLED, {});
}

NTSTATUS RecordAndAnswer(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen seen{sp->MajorFunction, 0, {}, 0};
    const auto *system = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        seen.code = sp->Parameters.DeviceIoControl.IoControlCode;
        seen.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        seen.input.assign(system, system + sp->Parameters.DeviceIoControl.InputBufferLength);
    } else if (sp->MajorFunction == IRP_MJ_WRITE) {
        seen.input.assign(system, system + sp->Parameters.Write.Length);
    } else if (sp->MajorFunction == IRP_MJ_READ) {
        seen.outputLength = sp->Parameters.Read.Length;
    }
    Answer answer;
    bool hold = false;
    bool cancelable = false;
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->seen.push_back(seen);
        auto it = recorder->hold.find(seen.major);
        if (it != recorder->hold.end()) {
            hold = true;
            cancelable = it->second;
            IoMarkIrpPending(irp);
            recorder->held.push_back(irp);
        } else {
            auto a = recorder->answers.find({seen.major, seen.code});
            if (a != recorder->answers.end()) {
                answer = a->second;
            }
        }
    }
    if (hold) {
        if (cancelable) {
            IoSetCancelRoutine(irp, CancelHeld);
            // Cancelled before the routine was set: whoever clears it now owns the IRP.
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                {
                    std::lock_guard<std::mutex> guard(recorder->lock);
                    std::erase(recorder->held, irp);
                }
                Finish(irp, STATUS_CANCELLED, {});
            }
        }
        return STATUS_PENDING;
    }
    Finish(irp, answer.status, answer.output);
    return answer.status;
}

}  // namespace

void Win32Test::SetUp()
{
    IoTest::SetUp();
    recorder = new Recorder;
    PDEVICE_OBJECT device = AddDevice(RecordAndAnswer, nullptr, DO_BUFFERED_IO, u"\\Device\\W32REC", TRUE);
    ASSERT_NE(device, nullptr);
    device->DeviceType = FILE_DEVICE_SERIAL_PORT;  // a communications device to CreateFileW
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, u"\\Device\\W32REC");
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM7");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
}

void Win32Test::TearDown()
{
    // Requests a test left held end now, so that nothing stays in flight.
    while (CompleteHeld(STATUS_CANCELLED)) {
    }
    EXPECT_EQ(sim::win32::OpenHandles(), 0u) << "a test left a handle open";
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM7");
    IoDeleteSymbolicLink(&link);
    IoTest::TearDown();
    delete recorder;
    recorder = nullptr;
}

void Win32Test::Script(UCHAR major, ULONG code, Answer answer)
{
    std::lock_guard<std::mutex> guard(recorder->lock);
    recorder->answers[{major, code}] = std::move(answer);
}

void Win32Test::Hold(UCHAR major, bool cancelable)
{
    std::lock_guard<std::mutex> guard(recorder->lock);
    recorder->hold[major] = cancelable;
}

size_t Win32Test::HeldCount()
{
    std::lock_guard<std::mutex> guard(recorder->lock);
    return recorder->held.size();
}

bool Win32Test::CompleteHeld(NTSTATUS status, const std::vector<uint8_t> &output)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        while (!recorder->held.empty() && irp == nullptr) {
            PIRP candidate = recorder->held.front();
            recorder->held.pop_front();
            const bool cancelable = recorder->hold[IoGetCurrentIrpStackLocation(candidate)->MajorFunction];
            // A cancelable request whose routine is already gone belongs to its cancel routine.
            if (!cancelable || IoSetCancelRoutine(candidate, nullptr) != nullptr) {
                irp = candidate;
            }
        }
    }
    if (irp == nullptr) {
        return false;
    }
    Finish(irp, status, output);
    return true;
}

std::vector<Seen> Win32Test::Requests()
{
    std::lock_guard<std::mutex> guard(recorder->lock);
    return recorder->seen;
}

std::vector<ULONG> Win32Test::ControlCodes()
{
    std::vector<ULONG> codes;
    for (const Seen &seen : Requests()) {
        if (seen.major == IRP_MJ_DEVICE_CONTROL) {
            codes.push_back(seen.code);
        }
    }
    return codes;
}

void Win32Test::ClearRequests()
{
    std::lock_guard<std::mutex> guard(recorder->lock);
    recorder->seen.clear();
}

HANDLE Win32Test::Open(DWORD flags)
{
    HANDLE h = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ClearRequests();
    return h;
}

}  // namespace w32test
