// The simulator's process: the line, the control channel and the signals, served by one poll
// loop that wakes for received bytes, for the next byte due on the line, and for commands.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

#include "sim/Control.h"
#include "sim/ControlServer.h"
#include "sim/Engine.h"
#include "sim/Options.h"
#include "sim/SerialLine.h"

namespace sim {

class App : public LineControl {
public:
    explicit App(const Options& options);
    ~App() override;

    // Runs until quit or a signal; returns the process's exit status.
    int Run();

    bool Plugged() const override { return line.IsOpen(); }
    std::string LinePath() const override { return line.Path(); }
    std::string LinkPath() const override { return options.linkPath; }
    std::string Unplug(SimTime now) override;
    std::string Replug(SimTime now) override;
    void Quit(SimTime now) override;

private:
    bool Start(std::string& error);
    bool OpenLog(std::string& error);
    bool OpenSignals(std::string& error);
    // Opens the line, links it and announces it on standard output.
    bool Plug(std::string& error);
    void CloseLine();

    void Loop();
    SimTime Now() const;
    void SendDue(SimTime now);
    void ReadLine();
    void LineFailed(SimTime now, const std::string& what);

    Options options;
    FrameLog log;
    Engine engine;
    SerialLine line;
    DeviceLink link;
    ControlServer control;
    std::FILE* logFile = nullptr;
    int signalFd = -1;
    bool quitting = false;
    SimTime hungUntil = 0;      // a pty whose slave side hung up is left alone until then
    bool writeStalled = false;  // the line would not take a byte; reported once
    timespec start{};
};

}  // namespace sim
