// The panel's line on Linux: a pseudo-terminal linked at a path, made when the amplifier's link
// comes up and closed (the link removed) when it goes, so the panel sees what a pulled adapter
// shows and reopens it as a replugged one. POSIX only, like the pty itself.
#pragma once

#include <functional>
#include <string>

#include "ampd/PanelLink.h"

namespace ampd {

class PanelPty : public PanelPort {
public:
    PanelPty(std::string linkPath, std::function<void(const std::string&)> say);
    ~PanelPty() override;
    PanelPty(const PanelPty&) = delete;
    PanelPty& operator=(const PanelPty&) = delete;

    bool Open() override;
    void HangUp() override;
    int Read(std::uint8_t* into, std::size_t max) override;
    void Write(const std::uint8_t* bytes, std::size_t n) override;

private:
    std::string m_linkPath;
    std::function<void(const std::string&)> m_say;
    int m_master = -1;
    int m_keeper = -1;  // our own hold of the far end: reads see no hang-up while the panel is away
    std::string m_target;
    std::string m_lastError;
};

}  // namespace ampd
