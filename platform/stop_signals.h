// The signals that ask a scan to stop (SIGTERM from a service manager or a
// scheduler's time limit, SIGINT from Ctrl-C), taken by one thread that waits
// for them instead of ending the process wherever it happens to be.
#pragma once

namespace ordalen {

// Blocks SIGTERM and SIGINT in the calling thread, so every thread it starts
// afterwards has them blocked too; a signal the process inherited as ignored (a
// background job's SIGINT, say) is left ignored. Call it on the main thread
// before any other thread starts. False when nothing could be blocked.
bool BlockStopSignals();

// Waits until one of the signals blocked by BlockStopSignals arrives and
// returns its number.
int WaitForStopSignal();

// "SIGTERM", "SIGINT", else "signal N".
const char* StopSignalName(int signal);

}  // namespace ordalen
