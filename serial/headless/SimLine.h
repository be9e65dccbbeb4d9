// The simulated serial line behind the headless CCommPort: which COM devices exist, what the
// panel wrote and when (virtual time), and bytes arriving from the amplifier's side.
#pragma once

#include <functional>
#include <vector>

#include "afx/afxtypes.h"

namespace simline {

struct Write {
    DWORD time;
    UINT port;
    std::vector<BYTE> bytes;
};

// Everything back to no devices, no port open, nothing written.
void Reset();

// "\\.\COMn" exists (is plugged in).
void SetPresent(UINT portNr, bool present);
// Open of this port fails even though the device is present (in use by another program).
void SetOpenFails(UINT portNr, bool fails);
// Device names the panel probed, in order.
const std::vector<UINT>& Probed();

bool IsOpen();
bool IsMonitored();
UINT OpenPort();
int OpenCount();

const std::vector<Write>& Writes();
void ClearWrites();

// Bytes from the amplifier arrive at the open port, one per byte time (about 1 ms at 9600 baud),
// starting delayMs from now. Bytes reach the panel only while the port is monitored.
void Arrive(const std::vector<BYTE>& bytes, DWORD delayMs = 0);

// The worker shows a report box: it writes nothing until the operator dismisses it.
void ShowReportBox();
void DismissReportBox();

// Called for every write as it goes out on the line, e.g. to play the amplifier's answers.
using Responder = std::function<void(const std::vector<BYTE>& frame)>;
void SetResponder(Responder responder);

}  // namespace simline
