#include "ampd/StateFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ampd {

namespace {

constexpr const char* kHeader = "ampd-state 1";
constexpr std::size_t kMostBytes = 64 * 1024;  // far beyond what ampd writes

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string Folder(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool MakeOne(const std::string& folder)
{
#ifdef _WIN32
    return _mkdir(folder.c_str()) == 0 || errno == EEXIST;
#else
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
#endif
}

// Flushed to the disk before the rename, so a crash leaves the old file or the new one, whole.
bool FlushToDisk(std::FILE* file)
{
    if (std::fflush(file) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return fsync(fileno(file)) == 0;
#endif
}

bool ReplaceWith(const std::string& temporary, const std::string& path)
{
#ifdef _WIN32
    std::remove(path.c_str());  // rename does not replace on Windows' C library
#endif
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        return false;
#ifndef _WIN32
    // The rename itself kept, too.
    const int folder = open(Folder(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
#endif
    return true;
}

// "alarm NAME VALUE MS" with NAME of capitals, digits and '-', VALUE a finite number.
bool ReadAlarm(const std::string& line, Alarm& alarm)
{
    char name[33];
    double value = 0;
    long long ms = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "alarm %32s %lf %lld%n", name, &value, &ms, &used) != 3
        || static_cast<std::size_t>(used) != line.size() || !(value == value) || value > 1e300 || value < -1e300)
        return false;
    for (const char* c = name; *c; ++c)
        if (!((*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '-'))
            return false;
    alarm.name = name;
    alarm.value = value;
    alarm.time = WallTime(std::chrono::milliseconds(ms));
    return alarm.name != "LINK";
}

}  // namespace

bool KeepAlarms(Amplifier& amp, const std::string& path, std::function<void(const std::string&)> tell, std::string& error)
{
    if (!MakeStateFolder(path, error))
        return false;
    std::vector<Alarm> kept;
    std::string why;
    const bool read = LoadState(path, kept, why);
    amp.KeepWith([path, tell](const std::vector<Alarm>& alarms) {
        std::string failed;
        if (SaveState(path, alarms, failed))
            return true;
        tell(failed + ": STATE latched, the output stays off until the alarms are cleared");
        return false;
    });
    if (read) {
        amp.Restore(kept);
        return true;
    }
    // Never taken as "no alarms": the output stays off until someone has looked.
    std::rename(path.c_str(), (path + ".unreadable").c_str());
    tell(why + ": STATE latched, the output stays off until the alarms are cleared (the file is kept as "
        + path + ".unreadable)");
    amp.Latch(Alarm{kStateAlarm, 0, amp.Now()});
    return true;
}

std::string DefaultStatePath(const std::string& port)
{
    std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
    for (char& c : name)
        if (c == '/' || c == '\\' || c == ':')
            c = '_';
    const std::string file = name + ".state";
#ifdef _WIN32
    const char* data = std::getenv("ProgramData");
    return std::string(data ? data : "C:\\ProgramData") + "\\ampd\\" + file;
#else
    if (const char* systemd = std::getenv("STATE_DIRECTORY"))
        return std::string(systemd) + "/" + file;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
        return std::string(xdg) + "/ampd/" + file;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.local/state/ampd/" + file;
#endif
}

bool MakeStateFolder(const std::string& path, std::string& error)
{
    const std::string folder = Folder(path);
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/' && folder[at] != kSeparator)
            continue;
        const std::string part = folder.substr(0, at);
        if (part.empty() || part.back() == ':' || MakeOne(part))
            continue;
        error = "cannot make the state folder " + part + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool LoadState(const std::string& path, std::vector<Alarm>& alarms, std::string& error)
{
    alarms.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT)
            return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= kMostBytes;)
        text.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text.size() > kMostBytes) {
        error = path + (failed ? ": cannot be read" : ": larger than ampd ever writes it");
        return false;
    }
    std::size_t start = 0;
    bool header = false;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            error = path + ": cut short (its last line has no end)";
            return false;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        Alarm alarm;
        if (!header) {
            header = line == kHeader;
            if (!header) {
                error = path + ": not a state file of ampd's";
                return false;
            }
        } else if (!ReadAlarm(line, alarm)) {
            error = path + ": a line that cannot be read: " + line.substr(0, 80);
            return false;
        } else {
            alarms.push_back(alarm);
        }
    }
    if (!header) {
        error = path + ": empty";
        return false;
    }
    return true;
}

bool SaveState(const std::string& path, const std::vector<Alarm>& alarms, std::string& error)
{
    const std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    bool written = std::fprintf(file, "%s\n", kHeader) > 0;
    for (const Alarm& alarm : alarms) {
        if (alarm.name == "LINK")
            continue;
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(alarm.time.time_since_epoch()).count();
        written = written && std::fprintf(file, "alarm %s %.17g %lld\n", alarm.name.c_str(), alarm.value, ms) > 0;
    }
    written = FlushToDisk(file) && written;
    const int closed = std::fclose(file);
    if (!written || closed != 0 || !ReplaceWith(temporary, path)) {
        error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace ampd
