// Works the running panel from a second process, as an operator would: finds it by its caption,
// posts mouse and key input to its controls (so the panel's pre-translation sees them) and reads
// their state back. One command per line on standard input, one answer per line on standard output:
// "ok [value]" or "err <why>".
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tools/paneldriver/ProcessResources.h"
#include "tools/paneldriver/StartupWatch.h"

namespace {

const wchar_t kCaption[] = L"" PANEL_CAPTION;
HWND panel = nullptr;

// Milliseconds on a steady clock finer than the tick count.
double NowMs()
{
    return 1000.0 * Now();
}

std::string Ms(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

std::string Utf8(const std::wstring& w)
{
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// Texts travel as one line: line breaks are shown as \n.
std::string OneLine(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c != '\r')
            out += c;
    }
    return out;
}

HWND Control(int id)
{
    return panel ? GetDlgItem(panel, id) : nullptr;
}

std::string TextOf(HWND hwnd)
{
    wchar_t buffer[1024] = {};
    SendMessageW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
    return OneLine(Utf8(buffer));
}

// A press or release at the middle of the control, as the mouse would post it. The pointer is put
// there too: a button that has captured the mouse drops its pressed state when the pointer is
// reported elsewhere.
void PostMouse(HWND hwnd, UINT message)
{
    RECT r;
    GetClientRect(hwnd, &r);
    POINT middle = {(r.right - r.left) / 2, (r.bottom - r.top) / 2};
    const LPARAM at = MAKELPARAM(middle.x, middle.y);
    ClientToScreen(hwnd, &middle);
    SetCursorPos(middle.x, middle.y);
    PostMessageW(hwnd, message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON, at);
}

// The extended combo box's item texts live in the panel's process: read them through a record
// placed in its memory.
std::vector<std::string> ComboItems(HWND combo)
{
    std::vector<std::string> items;
    DWORD pid = 0;
    GetWindowThreadProcessId(combo, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process)
        return items;
    const SIZE_T textSize = 256;
    auto* remote = static_cast<char*>(
        VirtualAllocEx(process, nullptr, sizeof(COMBOBOXEXITEMA) + textSize, MEM_COMMIT, PAGE_READWRITE));
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; remote && i < count; ++i) {
        COMBOBOXEXITEMA item = {};
        item.mask = CBEIF_TEXT;
        item.iItem = i;
        item.pszText = remote + sizeof(COMBOBOXEXITEMA);
        item.cchTextMax = static_cast<int>(textSize);
        WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
        SendMessageW(combo, CBEM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote));
        char text[256] = {};
        ReadProcessMemory(process, remote + sizeof(COMBOBOXEXITEMA), text, textSize - 1, nullptr);
        items.emplace_back(text);
    }
    if (remote)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return items;
}

DWORD PanelProcessId()
{
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    return pid;
}

std::string Run(const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "watch") {
        // Start-up timing (tests/e2e/startup_timing.py): found or not, the window is the panel's.
        int timeoutMs = 30000;
        int holdMs = 0;
        in >> timeoutMs >> holdMs;
        return WatchStartUp(kCaption, timeoutMs, holdMs, &panel);
    }
    if (verb == "now")  // the performance counter, to set beside the caller's clock
        return "ok " + Seconds(Now());
    if (verb == "find") {
        int timeoutMs = 10000;
        in >> timeoutMs;
        for (int waited = 0; waited <= timeoutMs; waited += 20) {
            // Found only once it is shown: the dialog gets its caption before its controls.
            panel = FindWindowW(nullptr, kCaption);
            if (panel && IsWindowVisible(panel) && GetDlgItem(panel, 1000))
                return "ok";
            Sleep(20);
        }
        return "err no window captioned as the panel";
    }
    if (verb == "msgbox") {
        // The port engine's error report: read its text and dismiss it.
        int timeoutMs = 5000;
        in >> timeoutMs;
        for (int waited = 0; waited <= timeoutMs; waited += 20) {
            HWND box = FindWindowW(nullptr, L"Application Error");
            if (box) {
                std::string text;
                for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                    wchar_t cls[32] = {};
                    GetClassNameW(c, cls, 32);
                    if (lstrcmpiW(cls, L"Static") == 0 && !TextOf(c).empty())
                        text = TextOf(c);
                }
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return "ok " + text;
            }
            Sleep(20);
        }
        return "err no message box";
    }
    if (verb == "waitwindow") {
        // Start-up: returns once a shown window of that caption answers a message, with the time
        // from the command, polled every millisecond.
        int timeoutMs = 0;
        in >> timeoutMs;
        std::string caption;
        std::getline(in >> std::ws, caption);
        const double start = NowMs();
        do {
            const HWND window = FindWindowA(nullptr, caption.c_str());
            DWORD_PTR result = 0;
            if (window && IsWindowVisible(window)
                && SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
                return "ok " + Ms(NowMs() - start);
            Sleep(1);
        } while (NowMs() - start <= timeoutMs);
        return "err no window captioned '" + caption + "' answered";
    }
    if (verb == "openport") {  // another program can open the port (the panel let it go)
        int n = 0;
        in >> n;
        const std::string name = "\\\\.\\COM" + std::to_string(n);
        HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port == INVALID_HANDLE_VALUE)
            return "err cannot open " + name + ": error " + std::to_string(GetLastError());
        CloseHandle(port);
        return "ok";
    }
    if (!panel || !IsWindow(panel))
        return "err panel not found";

    if (verb == "caption")
        return "ok " + TextOf(panel);
    if (verb == "pid")
        return "ok " + std::to_string(PanelProcessId());
    if (verb == "resources")
        return ProcessResources(PanelProcessId());
    if (verb == "close") {  // the caption's close box
        PostMessageW(panel, WM_SYSCOMMAND, SC_CLOSE, 0);
        return "ok";
    }
    if (verb == "key") {  // a key press for the control that has the focus
        std::string key;
        int id = 0;
        in >> id >> key;
        const WPARAM vk = key == "enter" ? VK_RETURN
            : key == "escape"           ? VK_ESCAPE
            : key == "break"            ? VK_CANCEL
            : key == "tab"              ? VK_TAB  // the dialog manager moves the focus on
                                        : 0;
        if (!vk)
            return "err unknown key";
        // To the control, or (id 0) to whichever window of the panel has the keyboard focus.
        GUITHREADINFO gui = {};
        gui.cbSize = sizeof gui;
        const HWND target = id                                                                  ? Control(id)
            : GetGUIThreadInfo(GetWindowThreadProcessId(panel, nullptr), &gui) && gui.hwndFocus ? gui.hwndFocus
                                                                                                : panel;
        PostMessageW(target, WM_KEYDOWN, vk, 1);
        PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
        return "ok";
    }
    if (verb == "devicechange") {
        // Posted, not sent: the panel may wait on its port worker while a report box is open,
        // and this driver is what dismisses such boxes.
        PostMessageW(panel, WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
        return "ok";
    }
    if (verb == "sync") {  // returns once the panel has handled everything posted before
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(panel, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &result) ? "ok" : "err busy";
    }
    if (verb == "screenrect") {
        int id = 0;
        in >> id;
        RECT r;
        GetWindowRect(id ? Control(id) : panel, &r);
        return "ok " + std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " "
            + std::to_string(r.bottom);
    }

    int id = 0;
    in >> id;
    HWND control = id ? Control(id) : panel;  // 0: the panel itself
    if (!control)
        return "err no control " + std::to_string(id);
    if (verb == "text")
        return "ok " + TextOf(control);
    if (verb == "waittext") {
        // Returns as soon as the control shows the text, read back in a tight loop, with the time
        // it took: the reply-to-display latency's far end.
        std::string text;
        int timeoutMs = 0;
        in >> text >> timeoutMs;
        const double start = NowMs();
        std::string shown;
        do {
            shown = TextOf(control);
            if (shown == text)
                return "ok " + Ms(NowMs() - start);
        } while (NowMs() - start <= timeoutMs);
        return "err still '" + shown + "' after " + std::to_string(timeoutMs) + " ms";
    }
    if (verb == "send") {  // a message straight to the control's window procedure
        unsigned message = 0;
        long long wParam = 0, lParam = 0;
        in >> message >> wParam >> lParam;
        return "ok "
            + std::to_string(SendMessageW(control, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
    }
    if (verb == "enable") {
        int enable = 1;
        in >> enable;
        EnableWindow(control, enable);
        return "ok";
    }
    if (verb == "enabled")
        return std::string("ok ") + (IsWindowEnabled(control) ? "1" : "0");
    if (verb == "checked")
        return "ok " + std::to_string(SendMessageW(control, BM_GETCHECK, 0, 0));
    if (verb == "slider")
        return "ok " + std::to_string(SendMessageW(control, TBM_GETPOS, 0, 0)) + " "
            + std::to_string(SendMessageW(control, TBM_GETRANGEMIN, 0, 0)) + " "
            + std::to_string(SendMessageW(control, TBM_GETRANGEMAX, 0, 0));
    if (verb == "items") {
        std::string all;
        for (const auto& item : ComboItems(control))
            all += (all.empty() ? "" : ",") + item;
        return "ok " + all + " sel " + std::to_string(SendMessageW(control, CB_GETCURSEL, 0, 0));
    }
    if (verb == "select") {
        int index = 0;
        in >> index;
        return SendMessageW(control, CB_SETCURSEL, index, 0) == index ? "ok" : "err no such entry";
    }
    if (verb == "click") {
        PostMouse(control, WM_LBUTTONDOWN);
        PostMouse(control, WM_LBUTTONUP);
        return "ok";
    }
    if (verb == "press") {
        PostMouse(control, WM_LBUTTONDOWN);
        return "ok";
    }
    if (verb == "release") {
        PostMouse(control, WM_LBUTTONUP);
        return "ok";
    }
    if (verb == "type") {  // characters through the box's own key filter
        std::string text;
        std::getline(in >> std::ws, text);
        for (unsigned char c : text)
            PostMessageW(control, WM_CHAR, c, 1);
        return "ok";
    }
    if (verb == "settext") {  // as a paste would: no key messages
        std::string text;
        std::getline(in >> std::ws, text);
        SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return "ok";
    }
    return "err unknown command " + verb;
}

}  // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "quit")
            break;
        std::cout << Run(line) << std::endl;
    }
    return 0;
}
