// The panel's line on Linux: a pseudo-terminal linked at a path, made when the amplifier's link
// comes up and closed (the link removed) when it goes, so the panel sees what a pulled adapter
// shows and reopens it as a replugged one. Its bytes are read on the io_context as they come.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/LineOwner.h"

namespace ampd {

class PanelPty : public engine::PanelPort {
public:
    using OnBytes = std::function<void(const std::uint8_t* bytes, std::size_t n)>;

    PanelPty(boost::asio::io_context& io, std::string linkPath, std::function<void(const std::string&)> say,
        OnBytes onBytes);
    ~PanelPty() override;
    PanelPty(const PanelPty&) = delete;
    PanelPty& operator=(const PanelPty&) = delete;

    bool Open() override;
    void HangUp() override;
    void Write(const std::uint8_t* bytes, std::size_t n) override;

private:
    void Read();

    boost::asio::io_context& m_io;
    std::string m_linkPath;
    std::function<void(const std::string&)> m_say;
    OnBytes m_onBytes;
    std::unique_ptr<boost::asio::posix::stream_descriptor> m_master;
    int m_keeper = -1;  // our own hold of the far end: reads see no hang-up while the panel is away
    std::string m_target;
    std::string m_lastError;
    unsigned m_line = 0;  // which line this is, counted at each open and hang-up
    std::uint8_t m_in[256];
};

}  // namespace ampd
