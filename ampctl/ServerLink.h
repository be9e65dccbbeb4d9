// The TCP connection to ampd, over Boost.Asio, used synchronously: every wait has a deadline (the
// name lookup and the connection together, each line written, each line read) and a line read is
// bounded. Asio stays out of this header.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "ampctl/ServerLine.h"

namespace ampctl {

class ServerLink : public ServerLine {
public:
    // The longest line taken from ampd, without its end: as long as the longest ampd takes.
    static constexpr std::size_t kMaxLine = 4096;

    // Looks the host up and connects within timeoutMs; each later write gets as long. Null, with
    // the reason in error, when ampd cannot be reached in time or a stop request came first.
    static std::unique_ptr<ServerLink> Connect(
        const ServerAddress& address, int timeoutMs, const std::atomic<bool>& stop, std::string& error);
    ~ServerLink() override;
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    bool Send(const std::string& line) override;
    Got Receive(std::string& line, int timeoutMs) override;

    struct Io;

private:
    explicit ServerLink(std::unique_ptr<Io> io);
    std::unique_ptr<Io> m_io;
};

}  // namespace ampctl
