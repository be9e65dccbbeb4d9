// The serial port over the Win32 communications API, as the panel opens it ("\\.\COMn", a DCB,
// timeouts), but with synchronous reads and writes.
#include <windows.h>

#include "port/SerialPort.h"

#include <cctype>
#include <cstdio>

namespace port {

struct SerialPort::Os {
    HANDLE comm = INVALID_HANDLE_VALUE;
    bool configured = false;  // saved and savedTimeouts hold the settings to put back
    DCB saved = {};
    COMMTIMEOUTS savedTimeouts = {};
    int readWaitMs = -1;  // the read timeout now set on the port
};

namespace {

constexpr DWORD kWriteTimeoutMs = 1000;

std::atomic<bool>* stopFlag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (stopFlag)
        stopFlag->store(true);
    // Closing the console window ends the process when this returns: give the main thread time to
    // close the port first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000);
    return TRUE;
}

std::string SystemText(DWORD error)
{
    char text[256] = {};
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(error) : s;
}

std::string Reason(const std::string& name, DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return name + ": no such port";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return name + ": busy (another program holds it)";
    default:
        return name + ": " + SystemText(error);
    }
}

// "COM12" -> "\\.\COM12", the form every port number takes; other names are used as given.
std::string DevicePath(const std::string& name)
{
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C'
        && std::toupper(static_cast<unsigned char>(name[1])) == 'O'
        && std::toupper(static_cast<unsigned char>(name[2])) == 'M')
        return "\\\\.\\" + name;
    return name;
}

// 9600 8N1, binary, no flow control of either kind, DSR ignored; RTS and DTR held on as the panel
// holds RTS.
void MakeAmplifierLine(DCB& dcb)
{
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
}

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Os> os) : m_os(std::move(os)) {}

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& name, std::string& error, std::string& /*note*/)
{
    // No sharing: a port another program holds fails here, and nobody else gets it while we do.
    const HANDLE comm
        = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (comm == INVALID_HANDLE_VALUE) {
        error = Reason(name, GetLastError());
        return nullptr;
    }
    // From here the destructor gives back whatever has been taken.
    std::unique_ptr<SerialPort> port(new SerialPort(std::make_unique<Os>()));
    Os& os = *port->m_os;
    os.comm = comm;

    os.saved.DCBlength = sizeof os.saved;
    if (!GetCommState(comm, &os.saved) || !GetCommTimeouts(comm, &os.savedTimeouts)) {
        error = name + ": not a serial port (" + SystemText(GetLastError()) + ")";
        return nullptr;
    }
    DCB line = os.saved;
    MakeAmplifierLine(line);
    if (!SetCommState(comm, &line)) {
        error = name + ": cannot set 9600 8N1 (" + SystemText(GetLastError()) + ")";
        SetCommState(comm, &os.saved);
        return nullptr;
    }
    os.configured = true;
    PurgeComm(comm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return port;
}

SerialPort::~SerialPort()
{
    Os& os = *m_os;
    if (os.configured) {
        FlushFileBuffers(os.comm);
        SetCommState(os.comm, &os.saved);
        SetCommTimeouts(os.comm, &os.savedTimeouts);
    }
    CloseHandle(os.comm);
}

bool SerialPort::Write(const std::uint8_t* bytes, std::size_t n)
{
    PurgeComm(m_os->comm, PURGE_RXABORT | PURGE_RXCLEAR);
    DWORD written = 0;
    return WriteFile(m_os->comm, bytes, static_cast<DWORD>(n), &written, nullptr) && written == n;
}

int SerialPort::Read(std::uint8_t* into, std::size_t max, int timeoutMs)
{
    Os& os = *m_os;
    if (timeoutMs != os.readWaitMs) {
        // MAXDWORD, MAXDWORD, T: return at once with what is there, else with the first byte to
        // come within T ms. MAXDWORD, 0, 0: return at once.
        COMMTIMEOUTS t = {};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = timeoutMs > 0 ? MAXDWORD : 0;
        t.ReadTotalTimeoutConstant = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0;
        t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
        if (!SetCommTimeouts(os.comm, &t))
            return -1;
        os.readWaitMs = timeoutMs;
    }
    DWORD got = 0;
    if (!ReadFile(os.comm, into, static_cast<DWORD>(max), &got, nullptr))
        return -1;
    return static_cast<int>(got);
}

std::vector<std::string> ListSerialPorts()
{
    std::vector<std::string> ports;
    for (int n = 1; n <= 254; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", n);
        // As the panel probes: opened without access rights; a port another program holds is there too.
        const HANDLE device = CreateFileA(DevicePath(name).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
        if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            ports.push_back(name);
    }
    return ports;
}

void CatchStopRequests(std::atomic<bool>& stop)
{
    stopFlag = &stop;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace port
