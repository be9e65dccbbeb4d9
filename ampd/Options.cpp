#include "ampd/Options.h"

#include "scpi/Address.h"

namespace ampd {

const char* const kUsage
    = "ampd: the Lumacore 10 W fibre amplifier shared: owns its serial line and serves every client.\n"
      "\n"
      "Usage: ampd -p PORT [--scpi ADDR:PORT]... [--http [ADDR:PORT]]... [--token-file FILE]\n"
      "            [--guard RULES] [--log FILE] [--audit FILE] [--state FILE] [--panel-link PATH]\n"
      "  -p, --port PORT      the amplifier's serial port: a device path on Linux, COMn on Windows\n"
      "  --scpi ADDR:PORT     where to listen for SCPI clients (default 127.0.0.1:5025; several allowed;\n"
      "                       IPv6 as [::1]:5025)\n"
      "  --http [ADDR:PORT]   serve the page, JSON, events and metrics over HTTP (default off;\n"
      "                       127.0.0.1:8080 when given alone; several allowed)\n"
      "  --token-file FILE    a file holding the control token (one line); required to listen on any\n"
      "                       address other than loopback\n"
      "  --guard RULES        limits that switch the output off when broken on two polls in a row:\n"
      "                       max-temp=C,min-input=DBM,max-output=DBM,max-current=MA (any of them)\n"
      "  --log FILE           readings as CSV, one line a poll (appended)\n"
      "  --audit FILE         one line per setting: time, client, command, outcome (appended)\n"
      "  --state FILE         where the latched alarms are kept across restarts (default: under\n"
      "                       $STATE_DIRECTORY, else ~/.local/state/ampd/, named after the port;\n"
      "                       %ProgramData%\\ampd\\ on Windows)\n"
      "  --panel-link PATH    a pseudo-terminal linked at PATH that behaves to the panel as the\n"
      "                       amplifier does, there while the link is up (Linux only)\n"
      "  -h, --help           this help\n"
      "  --version            ampd's version\n"
      "\n"
      "Exit codes: 0 stopped (Ctrl+C, SIGTERM); 1 could not listen or write its files; 2 usage, a token\n"
      "file that cannot be taken, or a state folder that cannot be made.";

bool Endpoint::Loopback() const
{
    if (address == "::1")
        return true;
    return scpi::IsIpv4(address) && address.compare(0, 4, "127.") == 0;
}

bool ParseEndpoint(const std::string& text, Endpoint& endpoint)
{
    scpi::HostPort parts;
    if (scpi::SplitHostPort(text, parts) != scpi::Split::kDone)
        return false;
    // Numeric only, so that nothing is looked up; an IPv4 address may be in brackets too.
    if (!scpi::IsIpv4(parts.host) && !scpi::LooksLikeIpv6(parts.host))
        return false;
    endpoint.address = parts.host;
    return scpi::ParsePort(parts.port, endpoint.port);  // 0: any free port, said at the start
}

ParseResult ParseCommandLine(const std::vector<std::string>& words)
{
    ParseResult result;
    Options& o = result.options;
    const auto fail = [&](const std::string& error) {
        result.outcome = Parsed::kUsageError;
        result.error = error;
        return result;
    };
    for (const std::string& word : words) {
        if (word == "-h" || word == "--help") {
            result.outcome = Parsed::kHelp;
            return result;
        }
        if (word == "--version") {
            result.outcome = Parsed::kVersion;
            return result;
        }
    }
    bool guardGiven = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string name = words[i];
        std::string value;
        bool attached = false;
        const std::size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            attached = true;
        }
        std::string* into = nullptr;
        if (name == "-p" || name == "--port")
            into = &o.port;
        else if (name == "--token-file")
            into = &o.tokenFile;
        else if (name == "--log")
            into = &o.log;
        else if (name == "--audit")
            into = &o.audit;
        else if (name == "--panel-link")
            into = &o.panelLink;
        else if (name == "--state")
            into = &o.state;
        else if (name != "--scpi" && name != "--guard" && name != "--http")
            return fail(name.empty() || name[0] != '-' ? "unexpected argument '" + name + "'"
                                                       : "unknown option '" + name + "'");
        if (name == "--http" && !attached && (i + 1 == words.size() || words[i + 1].compare(0, 1, "-") == 0)) {
            o.http.push_back(Endpoint{"127.0.0.1", kDefaultHttpPort});
            continue;
        }
        if (!attached) {
            if (i + 1 == words.size())
                return fail(name + " needs a value");
            value = words[++i];
        }
        if (value.empty())
            return fail(name + " needs a value");
        if (name == "--scpi" || name == "--http") {
            Endpoint endpoint;
            if (!ParseEndpoint(value, endpoint))
                return fail(name + ": '" + value + "' is not ADDR:PORT (127.0.0.1:5025, [::1]:5025)");
            (name == "--scpi" ? o.scpi : o.http).push_back(endpoint);
        } else if (name == "--guard") {
            if (guardGiven)
                return fail("--guard given twice");
            guardGiven = true;
            std::string error;
            if (!ParseGuardRules(value, o.guard, error))
                return fail("--guard: " + error);
            o.guardRules = value;
        } else {
            if (!into->empty())
                return fail(name + " given twice");
            *into = value;
        }
    }
    if (o.port.empty())
        return fail("no port: give -p PORT");
    if (o.scpi.empty())
        o.scpi.push_back(Endpoint{"127.0.0.1", kDefaultScpiPort});
    if (o.tokenFile.empty()) {
        for (const Endpoint& e : o.scpi)
            if (!e.Loopback())
                return fail("--scpi " + e.address + ": listening beyond loopback needs --token-file");
        for (const Endpoint& e : o.http)
            if (!e.Loopback())
                return fail("--http " + e.address + ": listening beyond loopback needs --token-file");
    }
    return result;
}

}  // namespace ampd
