// Starting and stopping the host platform as a whole, from the thread of a test or
// of the tool, at PASSIVE_LEVEL. Each component's state is cleared here, before its
// threads start.
#include "sim/platform.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/kd/kd.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/po/po.h"
#include "sim/verifier.h"

namespace sim {

void StartPlatform(const PlatformOptions &options)
{
    verifier::Take();
    lowres::Reset();
    ex::ResetPool();
    ob::Reset();
    io::ResetInterfaces();
    io::Reset();
    cm::Reset();
    po::Reset();
    kd::Reset();
    if (options.virtualTime) {
        ke::UseVirtualTime();
    } else {
        ke::UseRealTime();
    }
    ke::Start();
    ex::StartWorkers(options.workerThreads);
}

void StopPlatform()
{
    ke::WaitIdle();
    // A device power request a driver asked for may still be on its way back (the
    // power manager's thread lets go of the device after the completion function has
    // run): the next platform must not find it delivering into devices already freed.
    po::WaitIdle();
    ke::WaitIdle();
    io::CheckClosesSent("platform stop");
    ex::StopWorkers();
    ke::Stop();
}

}  // namespace sim
