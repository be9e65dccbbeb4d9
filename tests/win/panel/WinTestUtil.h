// Helpers for the dialog and control tests: text conversion, waiting with a deadline, and a
// memory bitmap whose pixels the tests read back.
#pragma once

#include "afx/win32/winsys.h"

#include <cstdint>
#include <functional>
#include <string>

std::wstring Widen(const char* utf8);
std::string Narrow(const std::wstring& text);

// Dispatches this thread's messages until done() holds or timeoutMs pass; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// A 32-bit top-down DIB selected into a memory DC.
class MemoryBitmap {
public:
    MemoryBitmap(int width, int height);
    ~MemoryBitmap();
    MemoryBitmap(const MemoryBitmap&) = delete;
    MemoryBitmap& operator=(const MemoryBitmap&) = delete;

    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    void Fill(COLORREF color);
    COLORREF Pixel(int x, int y) const;

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    const std::uint32_t* bits_ = nullptr;
};

// Readable colours in failure messages.
std::string ColorText(COLORREF color);
