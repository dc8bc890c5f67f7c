// A minimal bus for tests of device stacks: one bus driver and physical device
// objects (PDOs) that complete whatever reaches them, with a status the test chooses,
// or hold it until the test completes it. The USB bus with its phones replaces it
// for the driver's own scenarios.
//
// Threads: requests reach a PDO in the sender's context; the test calls the rest
// from its own thread. A held request with a cancel routine may be cancelled from
// any thread.
#pragma once

#include "kernel/kernel.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace sim::bus {

class Pdo {
public:
    // Creates an unnamed PDO of the bus driver (loaded on first use after each
    // platform reset), StackSize 1, initialised.
    Pdo();
    // Deletes the device object (it must have nothing attached).
    ~Pdo();
    Pdo(const Pdo &) = delete;
    Pdo &operator=(const Pdo &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // The Pdo a device object of this bus belongs to, or NULL.
    static Pdo *From(PDEVICE_OBJECT device);

    // Requests of `major` complete with `status` and `information` (Information is 0
    // for an error status). Without this, a PnP request completes with the status it
    // arrived with and any other with STATUS_SUCCESS, Information 0.
    void SetStatus(UCHAR major, NTSTATUS status, ULONG_PTR information = 0);
    void ClearStatus(UCHAR major);
    // Requests of `major` are marked pending and kept (returning STATUS_PENDING)
    // until the test takes and completes them; `cancelable` gives each a cancel
    // routine that completes it with STATUS_CANCELLED.
    void Hold(UCHAR major, bool cancelable = false);
    // Takes the oldest held request away from its cancel routine; NULL when none is
    // held (or the only ones held are being cancelled).
    PIRP TakeHeld();
    size_t HeldCount();
    // Completes a request taken with TakeHeld.
    static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

    // Called with each request as it arrives, before it is answered.
    void OnRequest(std::function<void(PIRP)> observer);

    // Requests that reached this PDO, by major function and in all.
    int Count(UCHAR major);
    int Total();

private:
    static DRIVER_DISPATCH Dispatch;
    static DRIVER_CANCEL CancelHeld;

    struct Answer {
        NTSTATUS status;
        ULONG_PTR information;
    };

    PDEVICE_OBJECT device_ = nullptr;
    std::mutex lock_;
    std::map<UCHAR, int> counts_;
    std::map<UCHAR, Answer> answers_;
    std::map<UCHAR, bool> hold_;  // major -> cancelable
    std::deque<PIRP> held_;
    std::function<void(PIRP)> observer_;
};

}  // namespace sim::bus
