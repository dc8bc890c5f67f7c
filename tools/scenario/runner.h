// The scenario runner: the phones, port handles and asynchronous requests of a run, and
// one routine per statement. Main thread only. Every request to a port is made
// overlapped and waited for at most kWatchdogMs of real time, after which it is
// cancelled and the statement fails, so that no scenario can hang.
#pragma once

#include "sim/obex/protocol.h"
#include "sim/pnp/pnp.h"
#include "sim/win32/windows.h"
#include "tools/scenario/scenario.h"
#include "tools/session.h"

#include <memory>

namespace tool::scenario {

class Runner {
public:
    static constexpr DWORD kWatchdogMs = 15000;
    // The read timeouts a port gets when it opens (unless `open ... raw`): a read
    // returns as soon as a byte is there and waits at most this long for the first.
    static constexpr DWORD kDefaultReadWaitMs = 2000;
    // Passes of Settle at most: a port that keeps busy (a pump that never stops
    // failing) must not hold the run.
    static constexpr int kSettlePasses = 200;

    explicit Runner(Session &session);
    ~Runner();
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    // Waits until the PnP thread, the buses, DPCs and work items have nothing left
    // to do, so that the next statement sees the effects of this one.
    void Settle();
    // Cancels what is still in flight and closes every handle (end of the run).
    void CloseAll();
    // A TCP phone that did not answer: the run ends with kExitEnvironment.
    bool EnvironmentFailed() const { return environmentFailed_; }
    // Requests the watchdog had to cancel: the application was left waiting.
    int Hangs() const { return hangs_; }
    // After CloseAll: every phone still started and not failed opens and closes again.
    // False, with the reason, when one does not.
    bool StillUsable(std::string *why);

    // ---- phones and Plug and Play
    Outcome Plug(const PlugArgs &args);
    Outcome Pnp(const std::string &phone, const std::string &request);
    Outcome State(const std::string &phone, const std::string &state);
    Outcome PhoneSend(const std::string &phone, const std::vector<uint8_t> &bytes);
    Outcome PhoneReceived(const std::string &phone);
    Outcome PowerStatus(const std::string &phone, int32_t status);
    Outcome Fault(const FaultArgs &args);

    // ---- ports
    Outcome Open(const std::string &port, const std::string &handle, bool raw);
    Outcome Close(const std::string &handle);
    Outcome Write(const std::string &handle, const std::vector<uint8_t> &bytes, const std::string &async);
    Outcome Read(const std::string &handle, size_t length, bool once, const std::string &async,
                 const std::string &save);
    Outcome Await(const std::string &op);
    Outcome StillPending(const std::string &op);
    Outcome Cancel(const std::string &op);
    Outcome SetState(const std::string &handle, const std::vector<DcbChange> &changes);
    Outcome GetState(const std::string &handle);
    Outcome SetTimeouts(const std::string &handle, const TimeoutsArgs &timeouts);
    Outcome GetTimeouts(const std::string &handle);
    Outcome SetMask(const std::string &handle, uint32_t mask);
    Outcome GetMask(const std::string &handle);
    Outcome WaitEvent(const std::string &handle, const std::string &async);
    Outcome Purge(const std::string &handle, uint32_t flags);
    Outcome ClearError(const std::string &handle);
    Outcome Escape(const std::string &handle, uint32_t function);
    Outcome ModemStatus(const std::string &handle);
    Outcome Properties(const std::string &handle);
    Outcome Setup(const std::string &handle, uint32_t in, uint32_t out);
    Outcome Ioctl(const std::string &handle, uint32_t code, const std::vector<uint8_t> &input,
                  uint32_t outputLength);
    Outcome Obex(const std::string &handle, const ObexArgs &args);

    // ---- power, low resources, time
    Outcome Sleep(SYSTEM_POWER_STATE state);
    Outcome Wake();
    Outcome PowerFailNext(int32_t status);
    Outcome LowresFail(const std::string &routine, int nth);
    Outcome LowresReset();
    Outcome LowresInjected();
    Outcome Advance(int64_t hundredNs);

private:
    struct Phone;
    struct Port;
    struct Op;

    Phone *FindPhone(const std::string &name, Outcome *failure);
    Port *FindPort(const std::string &name, Outcome *failure);
    template <typename Call>
    Outcome OnPort(const std::string &name, Call call);
    // Starts an overlapped request; `start` makes the call with the OVERLAPPED.
    std::unique_ptr<Op> Start(Port &port, const std::function<BOOL(OVERLAPPED *)> &start);
    // Waits (bounded) for an op and describes how it ended.
    Outcome Finish(Op &op);
    // Without a name: waits for the op. With one: keeps it in flight under that name.
    Outcome KeepOrFinish(std::unique_ptr<Op> op, const std::string &async);
    std::vector<PDEVICE_OBJECT> PresentPdos();

    Session &session_;
    std::vector<std::unique_ptr<Phone>> phones_;
    std::map<std::string, std::unique_ptr<Port>> ports_;
    std::map<std::string, std::unique_ptr<Op>> ops_;
    int plugs_ = 0;
    bool environmentFailed_ = false;
    int hangs_ = 0;
};

}  // namespace tool::scenario
