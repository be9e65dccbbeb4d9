#include "ampctl/ServerLink.h"

#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <vector>

#include "ampctl/Report.h"

namespace ampctl {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using SteadyTime = std::chrono::steady_clock::time_point;

struct ServerLink::Io {
    asio::io_context context;
    tcp::socket socket{context};
    std::chrono::milliseconds writeTimeout{0};
    // Bytes received and not yet taken as lines: at most a line and its CR LF, and one read more.
    // (Asio's streambuf would bring the C++ streams and their locales into the program.)
    std::string received;
    char chunk[1024];
    // The read under way outlives a Receive that timed out: the next one waits for the same read.
    bool reading = false;
    bool readDone = false;
    error_code readError;
    std::size_t readSize = 0;
};

namespace {

// The longest single run of the handlers, so that a stop request is seen promptly.
constexpr std::chrono::milliseconds kSlice{50};

SteadyTime After(std::chrono::milliseconds wait)
{
    return std::chrono::steady_clock::now() + wait;
}

// Runs the context's handlers until done() holds, the deadline passes or a stop request comes.
template <class Done>
bool RunUntil(asio::io_context& context, const Done& done, SteadyTime deadline, const std::atomic<bool>* stop = nullptr)
{
    while (!done()) {
        const SteadyTime now = std::chrono::steady_clock::now();
        if (now >= deadline || (stop && *stop))
            return false;
        context.restart();
        context.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
    }
    return true;
}

// Runs the context until done() holds: for a handler of an operation just cancelled, which
// completes at once and must run before what it refers to goes.
template <class Done> void RunOut(asio::io_context& context, const Done& done)
{
    while (!done()) {
        context.restart();
        if (context.run_one() == 0)
            return;
    }
}

}  // namespace

ServerLink::ServerLink(std::unique_ptr<Io> io) : m_io(std::move(io)) {}

ServerLink::~ServerLink()
{
    error_code ec;
    m_io->socket.close(ec);
}

std::unique_ptr<ServerLink> ServerLink::Connect(
    const ServerAddress& address, int timeoutMs, const std::atomic<bool>& stop, std::string& error)
{
    auto io = std::make_unique<Io>();
    io->writeTimeout = std::chrono::milliseconds(timeoutMs);
    const SteadyTime deadline = After(io->writeTimeout);
    const std::string late = "no answer within " + Seconds(timeoutMs / 1000.0);

    std::vector<tcp::endpoint> endpoints;
    error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address.host, ec);
    if (!ec) {
        endpoints.emplace_back(ip, static_cast<unsigned short>(address.port));
    } else {
        tcp::resolver resolver(io->context);
        bool resolved = false;
        resolver.async_resolve(address.host, std::to_string(address.port), tcp::resolver::numeric_service,
            [&](const error_code& e, const tcp::resolver::results_type& results) {
                resolved = true;
                ec = e;
                for (const auto& result : results)
                    endpoints.push_back(result.endpoint());
            });
        if (!RunUntil(
                io->context, [&] { return resolved; }, deadline, &stop)) {
            // The lookup's thread waits in the system's resolver, which nothing can cut short, and
            // the context would wait for that thread when it goes: it is left for the process's end.
            resolver.cancel();
            static_cast<void>(io.release());
            error = stop ? "interrupted" : late;
            return nullptr;
        }
        if (ec || endpoints.empty()) {
            error = ec ? ec.message() : "the name has no address";
            return nullptr;
        }
    }

    bool connected = false;
    asio::async_connect(io->socket, endpoints, [&](const error_code& e, const tcp::endpoint&) {
        connected = true;
        ec = e;
    });
    if (!RunUntil(
            io->context, [&] { return connected; }, deadline, &stop)) {
        io->socket.close(ec);
        RunOut(io->context, [&] { return connected; });
        error = stop ? "interrupted" : late;
        return nullptr;
    }
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    // One short line each way at a time: Nagle's wait would only slow the answers.
    io->socket.set_option(tcp::no_delay(true), ec);
    return std::unique_ptr<ServerLink>(new ServerLink(std::move(io)));
}

bool ServerLink::Send(const std::string& line)
{
    Io& io = *m_io;
    if (!io.socket.is_open())
        return false;
    const std::string data = line + "\n";
    bool written = false;
    error_code failed;
    asio::async_write(io.socket, asio::buffer(data), [&](const error_code& e, std::size_t) {
        written = true;
        failed = e;
    });
    if (!RunUntil(
            io.context, [&] { return written; }, After(io.writeTimeout))) {
        // A server that takes nothing more in time is as good as gone.
        error_code ec;
        io.socket.close(ec);
        RunOut(io.context, [&] { return written; });
        return false;
    }
    return !failed;
}

ServerLine::Got ServerLink::Receive(std::string& line, int timeoutMs)
{
    Io& io = *m_io;
    const SteadyTime deadline = After(std::chrono::milliseconds(timeoutMs));
    for (;;) {
        const std::size_t end = io.received.find('\n');  // npos when none: beyond the bound
        if (end <= kMaxLine + 1) {
            line = io.received.substr(0, end);
            io.received.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return Got::kLine;
        }
        if (io.received.size() > kMaxLine + 1)
            return Got::kTooLong;
        if (!io.socket.is_open())
            return Got::kClosed;
        if (!io.reading) {
            io.reading = true;
            io.readDone = false;
            io.socket.async_read_some(asio::buffer(io.chunk), [&io](const error_code& e, std::size_t n) {
                io.readDone = true;
                io.readError = e;
                io.readSize = n;
            });
        }
        if (!RunUntil(
                io.context, [&] { return io.readDone; }, deadline))
            return Got::kNothing;
        io.reading = false;
        if (io.readError)
            return Got::kClosed;
        io.received.append(io.chunk, io.readSize);
    }
}

}  // namespace ampctl
