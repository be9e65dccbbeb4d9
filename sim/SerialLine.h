// The line the panel talks on: a fresh pseudo-terminal, or a real serial device, raw at 9600 8N1
// without flow control. The link that shows it under a stable name is port::OwnedLink.
#pragma once

#include <string>

namespace sim {

class SerialLine {
public:
    SerialLine() = default;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    ~SerialLine() { Close(); }

    // Path() is then the slave device the panel opens.
    bool OpenPty(std::string& error);
    bool OpenDevice(const std::string& device, std::string& error);
    void Close();

    // A pseudo-terminal's flow control: while suspended, what the panel writes waits on its side.
    bool SuspendPanelOutput(bool suspended);

    bool IsOpen() const { return m_fd >= 0; }
    bool IsPty() const { return m_keeper >= 0; }
    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }

private:
    int m_fd = -1;      // pty master or the device; non-blocking
    int m_keeper = -1;  // our own slave descriptor, so the master never hangs up between openers
    std::string m_path;
};

}  // namespace sim
