#include "ampd/PanelPty.h"

#include "port/FdIo.h"
#include "port/OwnedLink.h"
#include "port/Pty.h"

namespace ampd {

PanelPty::PanelPty(
    boost::asio::io_context& io, std::string linkPath, std::function<void(const std::string&)> say, OnBytes onBytes)
    : m_io(io), m_linkPath(std::move(linkPath)), m_say(std::move(say)), m_onBytes(std::move(onBytes))
{
}

PanelPty::~PanelPty()
{
    HangUp();
}

bool PanelPty::Open()
{
    HangUp();
    std::string error;
    port::PtyEnds pty;
    const bool linked = port::OpenPty(pty, error) && port::LinkOver(m_linkPath, pty.path, "ampd", error);
    if (!linked) {
        port::CloseFd(pty.keeper);
        port::CloseFd(pty.master);
        if (error != m_lastError)
            m_say("panel link: " + error);
        m_lastError = error;
        return false;
    }
    m_lastError.clear();
    m_keeper = pty.keeper;
    m_target = pty.path;
    m_master = std::make_unique<boost::asio::posix::stream_descriptor>(m_io, pty.master);
    ++m_line;
    m_say("panel link " + m_linkPath + " -> " + m_target);
    Read();
    return true;
}

void PanelPty::Read()
{
    const unsigned line = m_line;
    m_master->async_read_some(boost::asio::buffer(m_in), [this, line](const boost::system::error_code& ec, std::size_t n) {
        // A read of a line hung up since belongs to the line that was.
        if (ec || line != m_line)
            return;
        m_onBytes(m_in, n);
        if (line == m_line)
            Read();
    });
}

void PanelPty::HangUp()
{
    if (!m_master)
        return;
    port::UnlinkIfStill(m_linkPath, m_target);
    port::CloseFd(m_keeper);
    boost::system::error_code ec;
    m_master->close(ec);
    m_master.reset();
    ++m_line;
    m_say("panel link " + m_linkPath + " hung up");
}

void PanelPty::Write(const std::uint8_t* bytes, std::size_t n)
{
    if (!m_master)
        return;
    // Nobody reading and the buffer full: the rest is lost, as on a real line.
    port::WriteAll(m_master->native_handle(), bytes, n);
}

}  // namespace ampd
