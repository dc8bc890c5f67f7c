// What every subcommand of the program does around its own work: start the host
// platform, load the driver, plug phones through the Plug and Play manager, and at the
// end remove what is left, unload the driver, stop the platform and check that the
// verifier saw nothing and the pool holds nothing of the driver's. Also the small
// printing helpers the subcommands share, so their output looks alike.
//
// One Session at a time in a process (the platform is one). Its routines run on the
// program's main thread; Plug may be called from any application thread.
#pragma once

#include "kernel/kernel.h"
#include "sim/obex/phone.h"
#include "sim/obex/tcp_phone.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/device.h"
#include "tools/cli.h"
#include "tools/clock.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace tool {

// ---- printing
// A heading for a step of the run: "\n== text".
void Step(const std::string &text);
// "   ok:   what" or "   FAIL: what"; returns ok.
bool Check(bool ok, const std::string &what);
// "   text" (one indented line); printf-style.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints the driver's debugger output captured since the last call, as "kd>" lines.
void ShowDebugOutput();
// One plain line on standard error: "varnoobex: message".
void Complain(const std::string &message);

// A phone the session plugged in.
struct PluggedPhone {
    std::string portName;                      // "COM5"
    std::shared_ptr<sim::pnp::Node> node;
    std::shared_ptr<sim::usb::Model> model;    // what answers behind the pipes
    std::shared_ptr<sim::obex::Phone> obex;    // the same model when it is our OBEX phone
    std::shared_ptr<sim::obex::TcpPhone> tcp;  // or when it is a TCP phone
    // The driver's device name ("\Device\VARNOOBEX1"); empty if AddDevice failed.
    std::string deviceName;
};

// Where a port's name shows, as an application or an administrator would look.
struct PortNames {
    std::string link;         // the target of \DosDevices\<port>, or empty
    std::string serialComm;   // the SERIALCOMM value named by the device, or empty
    size_t interfaces = 0;    // enabled COM-port interfaces (of every device)
};
PortNames LookUpPortNames(const std::string &portName, const std::string &deviceName);

class Session {
public:
    explicit Session(const Options &options);
    // Finishes the session if the program did not (quietly).
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Starts the platform (options.virtualTime: virtual clock moved by an AutoClock),
    // starts the trace when asked, and loads the driver. `narrate` prints the step and
    // the driver's banner. False (after printing why) when the driver does not load
    // or the trace file cannot be opened (exit status in *exit).
    bool Start(bool narrate, int *exit);

    PDRIVER_OBJECT Driver() const { return driver_; }
    sim::pnp::Manager &Pnp() { return *pnp_; }
    const Options &Opts() const { return options_; }

    // Plugs a phone with this port name, model and speed; `index` (0, 1, ...) makes
    // its instance ID unique. The model is attached before the device starts. On
    // failure returns nullopt with a one-line reason in *error and the exit status in
    // *exit (kExitEnvironment when a TCP phone does not answer, kExitFailed when the
    // driver did not take the device).
    std::optional<PluggedPhone> Plug(const std::string &portName, const PhoneSpec &spec,
                                     sim::usb::Speed speed, int index, std::string *error,
                                     int *exit);

    // Removes every phone still present (as if pulled at shutdown), unloads the
    // driver, stops the trace, the clock and the platform, and checks the pool and
    // the verifier. `narrate` prints what it finds. True when nothing was left.
    bool Finish(bool narrate);
    bool Finished() const { return finished_; }

private:
    Options options_;
    AutoClock clock_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::pnp::Manager> pnp_;
    std::FILE *traceOut_ = nullptr;
    bool started_ = false;
    bool finished_ = false;
};

}  // namespace tool
