// The host platform as a whole: starting and stopping its threads and clearing its
// state between tests or runs. Only one platform runs at a time in a process.
#pragma once

namespace sim {

struct PlatformOptions {
    bool virtualTime = true;  // tests: virtual clock advanced by hand; the tool: real time
    int workerThreads = 2;    // system worker threads for work items
};

// Clears every component's state (pool records, devices, names, registry, violations,
// armed low-resources failures) and starts the DPC, timer and worker threads.
void StartPlatform(const PlatformOptions &options = {});
// Waits for deferred work to drain, then stops and joins the platform's threads.
void StopPlatform();

}  // namespace sim
