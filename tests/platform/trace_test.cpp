// The I/O manager's request hook: which events a request of the observed driver
// produces, in which order and with what, for requests the driver completes, passes
// down, keeps and completes later, and IRPs it sends down itself; that nothing reaches
// an observer that was replaced or removed, or concerns another driver's device. (The
// real driver's receive pump and a parked read are traced in trace_format_test.cpp.)
#include "sim/io/trace.h"
#include "tests/support/test_driver.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using bench::Completion;
using bench::CompleteWith;
using bench::IoTest;
using bench::SetCompletion;
using sim::io::RequestEvent;
using Kind = RequestEvent::Kind;

// Events as an observer sees them, with the thread name copied (it is valid during the
// call only).
struct Seen {
    RequestEvent event;
    std::string thread;
};

class Recorder {
public:
    std::function<void(const RequestEvent &)> Observer()
    {
        return [this](const RequestEvent &event) {
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(Seen{event, event.thread});
        };
    }
    // A line of the test's own among the events (a completion routine running).
    void Note(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(lock_);
        notes_.emplace(seen_.size(), text);
    }
    std::vector<Seen> Events()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    // The events as "Kind device [status information]" with the devices named by
    // `names`, and the notes where they were taken.
    std::vector<std::string> Shapes(const std::map<PDEVICE_OBJECT, std::string> &names)
    {
        std::lock_guard<std::mutex> guard(lock_);
        static const char *const kinds[] = {"Enter", "Return", "Leave", "SendDown", "CameBack"};
        std::vector<std::string> out;
        for (size_t i = 0; i <= seen_.size(); i++) {
            auto note = notes_.equal_range(i);
            for (auto it = note.first; it != note.second; ++it) {
                out.push_back(it->second);
            }
            if (i == seen_.size()) {
                break;
            }
            const RequestEvent &e = seen_[i].event;
            auto name = names.find(e.device);
            std::string shape = std::string(kinds[(int)e.kind]) + " " +
                                (name != names.end() ? name->second : "?");
            char text[40];
            if (e.kind == Kind::Return) {
                std::snprintf(text, sizeof text, " %08x", (unsigned)e.status);
                shape += text;
            } else if (e.kind == Kind::Leave || e.kind == Kind::CameBack) {
                std::snprintf(text, sizeof text, " %08x %llu", (unsigned)e.status,
                              (unsigned long long)e.information);
                shape += text;
            }
            out.push_back(shape);
        }
        return out;
    }

private:
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::multimap<size_t, std::string> notes_;
};

class TraceTest : public IoTest {
protected:
    void TearDown() override
    {
        sim::io::SetRequestObserver(nullptr, {});
        IoTest::TearDown();
    }
    Recorder recorder_;
};

struct Row {
    const char *what;
    UCHAR major;
    NTSTATUS busStatus;  // what the bus completes the major function with
    // The device's dispatch; `kept` receives an IRP it holds for `after`, `routine` is a
    // completion routine it may set, `notes` the recorder of the row.
    std::function<bench::Handler(PIRP *kept, Completion *routine, Recorder *notes)> handler;
    std::function<void(PIRP kept)> after;
    std::vector<std::string> expected;
    bool ownIrp = false;  // the driver sends down an IRP of its own
};

TEST_F(TraceTest, EachRequestEntersReturnsAndLeavesInTheOrderItHappened)
{
    const Row rows[] = {
        {"completed by the driver", IRP_MJ_FLUSH_BUFFERS, STATUS_SUCCESS,
         [](PIRP *, Completion *, Recorder *) {
             return [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 5); };
         },
         nullptr,
         {"Enter dev", "Leave dev 00000000 5", "Return dev 00000000"}},
        {"passed down with its location skipped", IRP_MJ_SYSTEM_CONTROL, STATUS_DEVICE_BUSY,
         [](PIRP *, Completion *, Recorder *) { return IoTest::SkipDown; },
         nullptr,
         // The lower driver's completion is the request's leaving this one: both at
         // the one location, the lower first.
         {"Enter dev", "SendDown bus", "CameBack bus 80000011 0", "Leave dev 80000011 0",
          "Return dev 80000011"}},
        {"passed down and taken back by a completion routine", IRP_MJ_SHUTDOWN,
         STATUS_SUCCESS,
         [](PIRP *, Completion *routine, Recorder *notes) {
             *routine = [notes](PDEVICE_OBJECT, PIRP) {
                 notes->Note("routine");
                 return STATUS_MORE_PROCESSING_REQUIRED;
             };
             return [routine](PDEVICE_OBJECT device, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 SetCompletion(irp, routine);
                 IoCallDriver(Ext(device)->lower, irp);
                 return CompleteWith(irp, STATUS_SUCCESS, 7);
             };
         },
         nullptr,
         // Came back before the routine ran: the routine may re-send or free the IRP.
         {"Enter dev", "SendDown bus", "CameBack bus 00000000 0", "routine", "Leave dev 00000000 7",
          "Return dev 00000000"}},
        {"kept, completed later at DISPATCH_LEVEL", IRP_MJ_READ, STATUS_SUCCESS,
         [](PIRP *held, Completion *, Recorder *) {
             return [held](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 *held = irp;
                 return STATUS_PENDING;
             };
         },
         [](PIRP irp) { sim::ke::RunAtDispatch([irp] { CompleteWith(irp, STATUS_CANCELLED); }); },
         {"Enter dev", "Return dev 00000103", "Leave dev c0000120 0"}},
        // An IRP the driver allocates and sends down is its own, told apart from the
        // request it serves. (What its URB moved is read back from the real driver's trace.)
        {"serving a request with an IRP of its own", IRP_MJ_FLUSH_BUFFERS, STATUS_UNSUCCESSFUL,
         [](PIRP *, Completion *routine, Recorder *) {
             *routine = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
             return [routine](PDEVICE_OBJECT device, PIRP irp) {
                 PIRP own = IoAllocateIrp(Ext(device)->lower->StackSize, FALSE);
                 IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
                 SetCompletion(own, routine);
                 IoCallDriver(Ext(device)->lower, own);
                 IoFreeIrp(own);
                 return CompleteWith(irp, STATUS_SUCCESS);
             };
         },
         nullptr,
         {"Enter dev", "SendDown bus", "CameBack bus c0000001 0", "Leave dev 00000000 0", "Return dev 00000000"},
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Recorder recorder;
        Completion routine;
        PIRP kept = nullptr;
        auto &bus = NewPdo();
        bus.SetStatus(row.major, row.busStatus);
        PDEVICE_OBJECT dev = AddDevice(row.handler(&kept, &routine, &recorder), bus.Device());
        sim::io::SetRequestObserver(driver_, recorder.Observer());

        auto op = sim::io::Send(dev, Major(row.major));
        if (row.after) {
            ASSERT_NE(kept, nullptr);
            row.after(kept);
        }
        op->Wait();
        EXPECT_EQ(recorder.Shapes({{dev, "dev"}, {bus.Device(), "bus"}}), row.expected);

        // One IRP throughout (but for one the driver sends down of its own), and the
        // events carry what it was sent.
        std::vector<Seen> events = recorder.Events();
        ASSERT_FALSE(events.empty());
        for (const Seen &seen : events) {
            const bool down = seen.event.kind == Kind::SendDown || seen.event.kind == Kind::CameBack;
            EXPECT_EQ(seen.event.irpId == events[0].event.irpId, !(row.ownIrp && down));
            EXPECT_EQ(seen.event.major, row.major);
        }
        if (row.after) {
            // Each event names the context it happened in.
            EXPECT_EQ(events.front().thread, sim::ke::ThreadName());
            EXPECT_EQ(events.front().event.irql, PASSIVE_LEVEL);
            EXPECT_EQ(events.back().thread, "dpc");
            EXPECT_EQ(events.back().event.irql, DISPATCH_LEVEL);
        }
        sim::io::SetRequestObserver(nullptr, {});
        DeleteDevice(dev);
    }
}

TEST_F(TraceTest, OnlyTheCurrentObserverHearsAndOnlyAboutItsDriver)
{
    auto &bus = NewPdo();
    PIRP kept = nullptr;
    PDEVICE_OBJECT dev = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            kept = irp;
            return STATUS_PENDING;
        },
        bus.Device());
    const std::map<PDEVICE_OBJECT, std::string> names{{dev, "dev"}, {bus.Device(), "bus"}};
    Recorder first;
    Recorder second;
    sim::io::SetRequestObserver(driver_, first.Observer());

    // The bus's own device is another driver's.
    sim::io::Request toBus = Major(IRP_MJ_FLUSH_BUFFERS);
    toBus.toDeviceItself = true;
    EXPECT_EQ(sim::io::Call(bus.Device(), toBus).Status, STATUS_SUCCESS);
    EXPECT_TRUE(first.Events().empty());

    // Entered under the first observer, completed under the second: its leaving is
    // told to neither.
    auto op = sim::io::Send(dev, Major(IRP_MJ_READ));
    sim::io::SetRequestObserver(driver_, second.Observer());
    CompleteWith(kept, STATUS_SUCCESS);
    op->Wait();
    EXPECT_EQ(first.Shapes(names), (std::vector<std::string>{"Enter dev", "Return dev 00000103"}));
    EXPECT_TRUE(second.Events().empty());

    op = sim::io::Send(dev, Major(IRP_MJ_READ));
    sim::io::SetRequestObserver(nullptr, {});
    CompleteWith(kept, STATUS_SUCCESS);
    op->Wait();
    op = sim::io::Send(dev, Major(IRP_MJ_READ));
    CompleteWith(kept, STATUS_SUCCESS);
    op->Wait();
    EXPECT_EQ(first.Events().size(), 2u);
    EXPECT_EQ(second.Shapes(names), (std::vector<std::string>{"Enter dev", "Return dev 00000103"}));
}

}  // namespace
