// The service's work from start to stop.
//
// Start prepares the process for the filter plug-ins (watchdog flag, search path,
// web-filter resources), creates the events through which the rest of the suite
// announces changed settings, and starts one worker thread. The worker decides at once
// which plug-ins must run, announces the service to the control centre with one status
// packet, and then waits for the events, starting, notifying or stopping the plug-ins
// concerned. Stop tells the worker to end and hands back its thread handle; the caller
// decides how long to wait for it.
//
// The state is process-wide; Start is called once per process, before Stop.
#pragma once

#include <windows.h>

namespace SentrelCore {

// True when the four events exist and the worker thread was created.
bool Start();
// Signals the worker to end, closes the settings events, clears the resources and
// returns the worker thread's handle (null when no worker was created). Does not wait.
// The handle stays open for the life of the process.
HANDLE Stop();
// The worker's thread procedure.
unsigned __stdcall WorkerThreadFunc(void* unused);

}  // namespace SentrelCore
