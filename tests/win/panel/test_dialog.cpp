// The real dialog, built from the compiled template, against the panel's control list: caption,
// size, style and font, then every control in template (tab) order.
#include "afx/win32/winsys.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "afx/afxwin.h"
#include "tests/PanelTemplate.h"
#include "res/resource.h"

namespace {

std::wstring Widen(const char* utf8)
{
    wchar_t wide[256] = L"";
    ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 256);
    return wide;
}

TEST(CompiledTemplate, KeepsTheSixteenBitCharacters)
{
    // Catches: the script compiled without UTF-8, so that 《 》 ℃ became other characters. Looked
    // up in the template's language, so a script compiled under another language fails too.
    const HRSRC found = ::FindResourceExW(nullptr, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(IDD_PANEL),
        MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const wchar_t*>(::LockResource(::LoadResource(nullptr, found)));
    const std::wstring resource(data, ::SizeofResource(nullptr, found) / sizeof(wchar_t));
    for (const wchar_t ch : {L'\x300A', L'\x300B', L'\x2103'})
        EXPECT_NE(resource.find(ch), std::wstring::npos) << "U+" << std::hex << static_cast<int>(ch) << " missing";
}

// Bits the system sets or clears itself: WS_CLIPSIBLINGS on the extended combo box, the scroll
// bars as content needs, and WS_BORDER, which the dialog manager turns into WS_EX_CLIENTEDGE
// (so a border is compared on its own). The dialog gains WS_CLIPSIBLINGS and DS_3DLOOK.
constexpr DWORD kSystemControlBits = WS_CLIPSIBLINGS | WS_VSCROLL | WS_HSCROLL | WS_BORDER;
constexpr DWORD kSystemDialogBits = WS_CLIPSIBLINGS | DS_3DLOOK;

// Where the dialog manager created each window, before the extended combo box shrank itself to
// its selection field (its template height is its dropped-down list's).
std::vector<std::pair<HWND, RECT>> createdAt;

LRESULT CALLBACK RecordCreation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        const CREATESTRUCTW* cs = reinterpret_cast<const CBT_CREATEWNDW*>(lParam)->lpcs;
        createdAt.push_back({reinterpret_cast<HWND>(wParam), RECT{cs->x, cs->y, cs->x + cs->cx, cs->y + cs->cy}});
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class RealDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        createdAt.clear();
        const HHOOK hook = ::SetWindowsHookExW(WH_CBT, &RecordCreation, nullptr, ::GetCurrentThreadId());
        const BOOL created = dialog.Create(IDD_PANEL);
        ::UnhookWindowsHookEx(hook);
        ASSERT_TRUE(created);
    }

    // As the dialog manager converts: origin and size each on its own.
    std::vector<LONG> Pixels(short x, short y, short cx, short cy) const
    {
        RECT r{x, y, cx, cy};
        ::MapDialogRect(dialog.m_hWnd, &r);
        return {r.left, r.top, r.left + r.right, r.top + r.bottom};
    }

    static std::vector<LONG> CreatedAt(HWND window)
    {
        for (const auto& [hwnd, r] : createdAt)
            if (hwnd == window)
                return {r.left, r.top, r.right, r.bottom};
        return {};
    }

    const PanelTemplate& want = GetPanelTemplate();
    CDialog dialog{IDD_PANEL};
};

TEST_F(RealDialog, HasTheCaptionSizeStyleAndFontOfTheTemplate)
{
    // Catches: a narrow-API dialog (caption through the code page), a wrong size, frame or font.
    wchar_t caption[128] = L"";
    ::GetWindowTextW(dialog.m_hWnd, caption, 128);
    EXPECT_EQ(std::wstring(caption), Widen(want.caption));
    RECT client{};
    ::GetClientRect(dialog.m_hWnd, &client);
    EXPECT_EQ((std::vector<LONG>{0, 0, client.right, client.bottom}), Pixels(0, 0, want.cx, want.cy));
    const auto style = static_cast<DWORD>(::GetWindowLongW(dialog.m_hWnd, GWL_STYLE));
    EXPECT_EQ(style & ~kSystemDialogBits, want.style) << std::hex << style;
    EXPECT_TRUE(::GetWindowLongW(dialog.m_hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW) << "not on the task bar";

    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(dialog.m_hWnd, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_EQ(std::wstring(font.lfFaceName), Widen(want.fontName));
    const HDC screen = ::GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -::MulDiv(want.pointSize, ::GetDeviceCaps(screen, LOGPIXELSY), 72));
    ::ReleaseDC(nullptr, screen);
}

TEST_F(RealDialog, HasEveryControlOfTheListInOrderWithIdClassStyleTextAndPosition)
{
    // Catches: a control the system could not create (common controls not registered), tab order
    // changed, a style lost or gained, texts converted through the code page, a control misplaced.
    std::vector<HWND> children;
    for (HWND c = ::GetWindow(dialog.m_hWnd, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    ASSERT_EQ(static_cast<int>(children.size()), want.controlCount);
    for (int i = 0; i < want.controlCount; ++i) {
        const PanelControl& w = want.controls[i];
        const HWND child = children[static_cast<std::size_t>(i)];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + w.text + "\" id " + std::to_string(w.id));
        EXPECT_EQ(::GetDlgCtrlID(child), w.id);
        wchar_t text[64] = L"";
        ::GetClassNameW(child, text, 64);
        EXPECT_EQ(::lstrcmpiW(text, Widen(w.className).c_str()), 0) << "class";
        const auto style = static_cast<DWORD>(::GetWindowLongW(child, GWL_STYLE));
        EXPECT_EQ(style & ~kSystemControlBits, w.style & ~kSystemControlBits) << std::hex << style;
        const bool bordered = (style & WS_BORDER) || (::GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
        EXPECT_EQ(bordered, (w.style & WS_BORDER) != 0);
        ::GetWindowTextW(child, text, 64);
        EXPECT_EQ(std::wstring(text), Widen(w.text));
        EXPECT_EQ(CreatedAt(child), Pixels(w.x, w.y, w.cx, w.cy));
    }
}

}  // namespace
