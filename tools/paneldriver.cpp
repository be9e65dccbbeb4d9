// Works the running panel from a second process, as an operator would: finds it by its caption,
// posts mouse and key input to its controls (so the panel's pre-translation sees them) and reads
// their state back. One command per line on standard input, one answer per line on standard output:
// "ok [value]" or "err <why>".
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

const wchar_t kCaption[] = L"" PANEL_CAPTION;
HWND panel = nullptr;

// Milliseconds on a steady clock finer than the tick count.
double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
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

int CountThreads(DWORD pid)
{
    int threads = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        threads += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return threads;
}

// The process's windows, top-level and child: under Wine, whose GetGuiResources is a stub, the
// USER objects a program of this kind makes.
struct WindowCount {
    DWORD pid;
    int windows;
};

BOOL CALLBACK CountChild(HWND, LPARAM param)
{
    ++reinterpret_cast<WindowCount*>(param)->windows;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND top, LPARAM param)
{
    auto* count = reinterpret_cast<WindowCount*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(top, &owner);
    if (owner == count->pid) {
        ++count->windows;
        EnumChildWindows(top, CountChild, param);
    }
    return TRUE;
}

int CountWindows(DWORD pid)
{
    WindowCount count = {pid, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&count));
    return count.windows;
}

// The process's GDI objects, counted in the GDI handle table its PEB points to (the way GDI
// viewers count them; Wine keeps the same table): entries of any type that it owns.
int CountGdiObjects(HANDLE process, DWORD pid)
{
    using QueryProcess = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic = {};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
        return -1;
    const SIZE_T tableField = sizeof(void*) == 8 ? 0xF8 : 0x94;  // PEB.GdiSharedHandleTable
    ULONG_PTR table = 0;
    if (!ReadProcessMemory(process, static_cast<BYTE*>(static_cast<void*>(basic.PebBaseAddress)) + tableField, &table,
            sizeof table, nullptr)
        || !table)
        return -1;
    struct Entry {
        ULONG_PTR object;
        USHORT processId;
        USHORT count;
        USHORT unique;
        BYTE type;
        BYTE flags;
        ULONG_PTR user;
    };
    std::vector<Entry> entries(0x4000);
    if (!ReadProcessMemory(
            process, reinterpret_cast<void*>(table), entries.data(), entries.size() * sizeof(Entry), nullptr))
        return -1;
    // Windows shares one table among processes and marks each entry's owner; Wine gives each
    // process a table of its own and leaves the owner unset.
    int owned = 0;
    int all = 0;
    for (const Entry& e : entries) {
        all += e.type != 0;
        owned += e.type != 0 && e.processId == static_cast<USHORT>(pid);
    }
    return owned ? owned : all;
}

// The process's kernel handles, from the system's handle list (which Wine keeps too; its
// per-process handle count is not implemented).
int CountHandles(DWORD pid)
{
    using QuerySystem = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        USHORT processId;
        USHORT creatorBackTrace;
        BYTE type;
        BYTE attributes;
        USHORT value;
        void* object;
        ULONG access;
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    LONG status = kInfoLengthMismatch;
    while (query
        && (status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr))
            == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return -1;
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    int handles = 0;
    for (ULONG i = 0; i < count; ++i)
        handles += entries[i].processId == static_cast<USHORT>(pid);
    return handles;
}

// What the panel's process holds: handles, threads, GDI and USER objects, memory.
std::string Resources()
{
    const DWORD pid = PanelProcessId();
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process)
        return "err cannot open the panel's process";
    DWORD handles = 0;
    if (!GetProcessHandleCount(process, &handles) || handles == 0)
        handles = static_cast<DWORD>(CountHandles(pid));
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    if (gdi == 0)  // the call is not implemented (Wine)
        gdi = static_cast<DWORD>(CountGdiObjects(process, pid));
    if (user == 0)
        user = static_cast<DWORD>(CountWindows(pid));
    CloseHandle(process);
    return "ok handles=" + std::to_string(handles) + " threads=" + std::to_string(CountThreads(pid))
        + " gdi=" + std::to_string(static_cast<int>(gdi)) + " user=" + std::to_string(user)
        + " private_kb=" + std::to_string(memory.PagefileUsage / 1024)
        + " working_set_kb=" + std::to_string(memory.WorkingSetSize / 1024);
}

std::string Run(const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
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
        return Resources();
    if (verb == "close") {  // the caption's close box
        PostMessageW(panel, WM_SYSCOMMAND, SC_CLOSE, 0);
        return "ok";
    }
    if (verb == "key") {  // a key press for the control that has the focus
        std::string key;
        int id = 0;
        in >> id >> key;
        const WPARAM vk = key == "enter" ? VK_RETURN : key == "escape" ? VK_ESCAPE : key == "break" ? VK_CANCEL : 0;
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
