// The port worker's parts shared by its two files: the wait for the line (LineWait.cpp) and the
// helpers both use (MonitorThread.cpp). Include <windows.h> and CommPortOs.h before this header.
#pragma once

namespace worker {

// Shows the report box, within the budget: one report per write attempt, none from a pass the
// heartbeat started.
void Report(CCommPort::Os& os, const char* label, DWORD error);
bool IsSignalled(HANDLE event);
// Signalled when the line wait ends; manual-reset.
HANDLE PortEvent(const CCommPort::Os& os);
// Bytes waiting in the input queue; a failed query reads as none.
DWORD QueuedInput(HANDLE comm);

// As the worker starts: the line wait is a one-byte read when bytes are all the port subscribes
// to, WaitCommEvent otherwise.
void ChooseLineWait(CCommPort::Os& os);
// Starts the wait unless one is outstanding (or a failed read is held back until the heartbeat).
void ArmLineWait(CCommPort::Os& os);
// The port event is signalled: collects the wait, with the byte a read took (os.waitByte) in
// *byteTaken. False when the signal was stale and the wait still runs.
bool CollectLineWait(CCommPort::Os& os, bool* byteTaken);
// A write's purge drops unread input: a byte the read has already taken goes with it.
void DropLineWaitByte(CCommPort::Os& os);
// Ends an outstanding wait before the worker goes.
void EndLineWait(CCommPort::Os& os);

}  // namespace worker
