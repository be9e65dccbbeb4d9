// The simulator's process: the line, the control channel and the signals, served by one poll
// loop that wakes for received bytes, for the next byte due on the line, and for commands.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

#include "port/OwnedLink.h"
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

    bool Plugged() const override { return m_line.IsOpen(); }
    std::string LinePath() const override { return m_line.Path(); }
    std::string LinkPath() const override { return m_options.linkPath; }
    std::string Unplug(SimTime now) override;
    std::string Replug(SimTime now) override;
    std::string Hold(SimTime now, bool held) override;
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

    Options m_options;
    FrameLog m_log;
    Engine m_engine;
    SerialLine m_line;
    port::OwnedLink m_link{"ampsim"};
    ControlServer m_control;
    std::FILE* m_logFile = nullptr;
    int m_signalFd = -1;
    bool m_quitting = false;
    SimTime m_hungUntil = 0;      // a pty whose slave side hung up is left alone until then
    bool m_writeStalled = false;  // the line would not take a byte; reported once
    timespec m_start{};
};

}  // namespace sim
