// One serial port: opens and configures the line, runs the monitor thread that reads and writes
// it, and hands every received byte to the owner window as a synchronous WM_PORT_RXCHAR.
// Platform-free interface: serial/win32 implements it over the system's serial devices, and
// serial/headless over a simulated line driven by the native tests' virtual clock.
#pragma once

#include <memory>

#include "afx/afxwin.h"

// Line events a port can subscribe to.
#ifndef EV_RXCHAR
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_CTS 0x0008
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#endif

// Notifications the worker sends to the owner; the second parameter is the port number.
constexpr UINT WM_PORT_BREAK = WM_USER + 1;
constexpr UINT WM_PORT_CTS = WM_USER + 2;
constexpr UINT WM_PORT_ERR = WM_USER + 4;
constexpr UINT WM_PORT_RING = WM_USER + 5;
constexpr UINT WM_PORT_RXCHAR = WM_USER + 7;  // first parameter: the byte, 0 to 255
constexpr UINT WM_PORT_RXFLAG = WM_USER + 8;
// A frame handed to Write never reached the line whole (the write rule dropped it as stale, or
// its write was abandoned); first parameter: its command code. Sent whatever the subscribed events.
constexpr UINT WM_PORT_TXDROPPED = WM_USER + 9;

class CCommPort {
public:
    CCommPort();
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;
    // Stops a running worker (without dispatching messages) and releases everything.
    virtual ~CCommPort();

    // Opens "\\.\COM<portNr>" and configures it. Parity is 'N', 'O', 'E', 'M' or 'S' (anything
    // else: none); stopBits is 0 (one), 1 (one and a half) or 2 (two); timeouts are in seconds.
    // FALSE, silently, when the device cannot be opened; configuration failures are reported in a
    // message box and the port stays open.
    BOOL Open(HWND owner, UINT portNr, UINT baud, char parity, UINT dataBits, UINT stopBits, DWORD commEvents,
        UINT writeBufSize, DWORD readIntervalTimeout, DWORD readTotalTimeoutMultiplier, DWORD readTotalTimeoutConstant,
        DWORD writeTotalTimeoutMultiplier, DWORD writeTotalTimeoutConstant);
    BOOL StartMonitor();
    // Stops the worker while dispatching the owner's messages (the worker may be blocked
    // handing it a byte), then closes the port.
    void Close();
    // Hands n bytes to the worker, which sends them by the write rule (WriteScheduler.h): paced
    // behind frames still waiting, dropped if they would reach the line too late, each drop told
    // to the owner with WM_PORT_TXDROPPED. Refused (FALSE) when n exceeds the write buffer or no
    // port is open.
    BOOL Write(const BYTE* bytes, UINT n);

    BOOL IsOpen() const;

    struct Os;  // the backend's handles and state

private:
    std::unique_ptr<Os> m_os;
};

// TRUE when the named serial device (such as "\\.\COM3") exists: it is opened without access
// and closed again at once.
BOOL ProbeCommDevice(const char* deviceName);
