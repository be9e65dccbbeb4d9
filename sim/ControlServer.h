// Line-oriented control connections: a Unix stream socket (any number of clients, one after
// another or at once) and, when asked, standard input with replies on standard output.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <poll.h>

namespace sim {

class ControlServer {
public:
    // Takes one command line, returns the reply line (no newline).
    using Handler = std::function<std::string(const std::string& line)>;

    ControlServer() = default;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer();

    bool Listen(const std::string& path, std::string& error);
    void WatchStdin();

    // Adds the descriptors to wait on; Service reads the ones poll reported, from the same spot.
    void AddPollFds(std::vector<pollfd>& fds);
    void Service(const std::vector<pollfd>& fds, const Handler& handler);

    // Standard input has come to its end (or failed): nothing more can be asked on it.
    bool InputEnded() const { return m_inputEnded; }

private:
    struct Client {
        int in;
        int out;
        std::string pending;
        bool discarding = false;  // in a line already answered as too long, until its newline
    };
    // False when the client is gone.
    bool ReadFrom(Client& client, const Handler& handler);
    bool TakeLines(Client& client, const Handler& handler);
    void Accept();
    void CloseClient(const Client& client);

    static constexpr std::size_t kMaxLine = 4096;

    int m_listener = -1;
    std::string m_socketPath;
    std::vector<Client> m_clients;
    std::size_t m_firstFd = 0;  // where AddPollFds put the listener, then the clients in order
    bool m_inputEnded = false;
};

}  // namespace sim
