// Power: the power request dispatch and the table-driven machine that carries each
// set-power and query-power request. The driver owns its device's power policy: each
// system request is turned into a device request for the driver's own stack.
// Context: requests arrive at PASSIVE_LEVEL (DO_POWER_PAGABLE); the completion entry
// points may run at DISPATCH_LEVEL.
#pragma once

#include "core/core.h"

// What moves the machine on; the column of PowerStepTable.
typedef enum _POWER_EVENT {
    PowerEventDispatch = 0,         // DispatchPower, once per request
    PowerEventIrpComplete = 1,      // the lower drivers completed the carried request
    PowerEventRequestComplete = 2,  // the device request asked for by step 7 completed
} POWER_EVENT;

#define POWER_EVENT_COUNT 3

// Where the carried request is; the row of PowerStepTable read at the next event.
// Numbers 7 and 8 are unused: their rows hold no step.
typedef enum _POWER_STAGE {
    StageStart = 0,             // just received
    StageSystemUpLower = 1,     // system request to more power, passed down first
    StageSystemUpDevice = 2,    // that request, back from below, held for the device request
    StageSystemDownDevice = 3,  // system request to same or less power, held while the device request runs first
    StageSystemDownLower = 4,   // that request, passed down after the device request succeeded
    StageDeviceSetUp = 5,       // device set-power to more power, passed down
    StageDeviceSetDown = 6,     // device set-power to same or less power, passed down
    StageDeviceQueryUp = 9,     // device query-power for more power, passed down
    StageDeviceQueryDown = 10,  // device query-power for same or less power, passed down
    StageDeviceStart = 11,      // a device request being sorted within the same run
    StageFinished = 12,         // finished; the context is being freed
} POWER_STAGE;

#define POWER_STAGE_COUNT 13

// The steps of the machine; what each does is at PowerStateMachine.
typedef enum _POWER_STEP {
    StepNone = 0,
    StepBegin = 1,
    StepDeviceBegin = 2,
    StepPassDown = 3,
    StepSystemUpLowerDone = 4,
    StepSystemDownLowerDone = 5,
    StepChooseDeviceState = 6,
    StepRequestDeviceIrp = 7,
    StepFinish = 8,
    StepRelease = 9,
    StepSystemUpDeviceDone = 10,
    StepSystemDownDeviceDone = 11,
    StepDeviceSetUpDone = 12,
    StepDeviceSetDown = 13,
    StepDeviceSetDownPass = 14,
    StepDeviceSetUpRecorded = 15,
    StepDeviceQueryUpDone = 16,
    StepDeviceQueryDown = 17,
    StepDeviceQueryDownDone = 18,
} POWER_STEP;

// One set-power or query-power request on its way through the machine. NonPagedPool,
// zero-filled by DispatchPower, freed by StepRelease. Owned by whoever holds the
// request: the dispatch, the lower drivers (until PowerIrpComplete) or the power
// manager (until PowerRequestComplete); never by two at once, so no lock guards it.
typedef struct _POWER_CONTEXT {
    PDEVICE_EXTENSION Extension;    // the device
    PIRP Irp;                       // the power request being carried
    LONG Stage;                     // POWER_STAGE: row used at the next event
    NTSTATUS LastStatus;            // the last request that completed, or PoRequestPowerIrp's failure
    LONG TargetDeviceState;         // DEVICE_POWER_STATE asked for a system request
    UCHAR RequestMinor;             // minor function of that device request
} POWER_CONTEXT, *PPOWER_CONTEXT;

// The resume of the data path after a sleep with the port open, run by a system worker
// thread once the device is back in D0: queued by the machine, freed by its worker.
typedef struct _POWER_RESUME_ITEM {
    WORK_QUEUE_ITEM WorkItem;       // worker PowerResumeWorker, parameter this item
    PDEVICE_EXTENSION Extension;    // the device whose pipes and pump are resumed
} POWER_RESUME_ITEM, *PPOWER_RESUME_ITEM;

VOID QueuePowerResume(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->DataLock);
VOID FailStuckAsleep(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->DataLock);
WORKER_THREAD_ROUTINE PowerResumeWorker;

// The first step for each stage (row) and event (column); 0 where nothing is expected.
// Its initializer is constants only (machine.cpp): no code runs for it at load.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration, not a definition
extern const ULONG PowerStepTable[POWER_STAGE_COUNT][POWER_EVENT_COUNT];

NTSTATUS PowerStateMachine(PPOWER_CONTEXT Context, POWER_EVENT Event);
IO_COMPLETION_ROUTINE PowerIrpComplete;
REQUEST_POWER_COMPLETE PowerRequestComplete;
