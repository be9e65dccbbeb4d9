// What the panel knows about the link and the amplifier: one record for the whole run, read and
// written only on the panel's thread.
#pragma once

#include <cstdint>

#include "afx/afxwin.h"
#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

// Timers of the panel.
enum : UINT_PTR {
    TIMER_POLL = 1,
    TIMER_STEP_DOWN = 2,
    TIMER_STEP_UP = 3,
    TIMER_PROBE = 4,
};

// A scan may find every port number from 1 to 254; all of them are listed, so the table holds
// that many (the list and the table stay in step).
constexpr int kMaxPorts = 254;

struct AmpStateRecord {
    std::uint8_t currentCmdSelect = 1;  // 0 or 1: CMD_SET_CURRENT_ALT; 2 or more: CMD_SET_CURRENT
    CString portName;                   // scratch: "\\.\COMn", then its list caption "COMn"
    CString displayText;                // scratch: every value shown and every setpoint read
    std::int32_t targetPowerRaw = 0;
    std::int32_t maxCurrent = 0;  // mA; upper bound of the slider and of typed and stepped setpoints
    std::int32_t outputPowerRaw = 0;
    std::int32_t inputPowerRaw = 0;
    std::int32_t currentRead = 0;  // mA
    std::int32_t ldTempRaw = 0;    // hundredths of a degree Celsius
    std::int32_t targetCurrent = 0;
    bool portOpen = false;  // port open and its monitor thread started
    std::uint8_t outputOn = 0;
    std::uint8_t portNumber = 0;  // n of COMn of the last open attempt; 0 after every scan
    bool linkUp = false;          // the amplifier has answered; commands are accepted
    std::uint8_t portTable[kMaxPorts] = {};
    std::uint8_t portCount = 0;
    std::uint8_t holdTicks = 0;  // repeat count of a held step button, 0 ... 249
};

extern AmpStateRecord AmpState;

// The reply framer's state lives as long as the program: reopening the port does not reset it.
extern proto::RxFramer RxFramerState;

// One prepared frame per command kind; only the value bytes and checksum are rewritten.
struct PreparedFrames {
    proto::Frame queryStatus = proto::MakeQueryFrame(proto::CMD_QUERY_STATUS);
    proto::Frame querySettings = proto::MakeQueryFrame(proto::CMD_QUERY_SETTINGS);
    proto::Frame queryOutput = proto::MakeQueryFrame(proto::CMD_QUERY_OUTPUT);
    proto::Frame setMode = proto::MakeByteFrame(proto::CMD_SET_MODE, 0);
    proto::Frame setOutput = proto::MakeByteFrame(proto::CMD_SET_OUTPUT, 0);
    proto::Frame setPower = proto::MakeWordFrame(proto::CMD_SET_POWER, 0);
    proto::Frame setCurrent = proto::MakeWordFrame(proto::CMD_SET_CURRENT, 0);
    proto::Frame setCurrentAlt = proto::MakeWordFrame(proto::CMD_SET_CURRENT_ALT, 0);
};

extern PreparedFrames Frames;
