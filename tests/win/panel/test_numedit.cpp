// The setpoint box filters real character messages: only the keystrokes of a signed decimal
// number reach the edit control; everything else is dropped.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "afx/afxwin.h"
#include "panel/NumEdit.h"
#include "res/resource.h"

namespace {

struct CharCase {
    const char* fault;
    const char* start;
    bool selectAll;  // otherwise the caret stands at the end
    const wchar_t* typed;
    const char* expected;
};

// Enter and Ctrl+A are not in the table: a multi-line box in a dialog ignores a typed Enter
// without ES_WANTRETURN, and selects all on the key press rather than the character, so neither
// could show a fault here.
const CharCase kCharCases[] = {
    {"a signed decimal typed into an empty box is not kept", "", false, L"-12.5", "-12.5"},
    {"a second point is let through", "", false, L"-12.5.3", "-12.53"},
    {"a minus sign is let into a box holding 12", "12", false, L"-", "12"},
    {"a point is let into an empty box", "", false, L".", ""},
    {"a point is let into a box whose 1.5 is fully selected", "1.5", true, L".", "1.5"},
    {"a digit does not replace the selection through the default handling", "1.5", true, L"7", "7"},
    {"a point is refused after a lone minus sign", "-", false, L".5", "-.5"},
    {"letters, a space or a plus sign are let through", "4", false, L"aZ e+", "4"},
    {"Tab reaches the multi-line box", "4", false, L"\t", "4"},
    {"Ctrl+X cuts the selection", "4", true, L"\x18", "4"},
    {"Ctrl+V pastes the clipboard", "4", false, L"\x16", "4"},
    {"Ctrl+Z reaches the box (it would undo the typing)", "", false, L"12\x1a", "12"},
    {"Ctrl+C reaches the box (the clipboard is checked afterwards)", "45", true, L"\x03", "45"},
    {"backspace does not pass", "123", false, L"\b", "12"},
    {"digits do not always pass", "1.5", false, L"0123456789", "1.50123456789"},
};

std::wstring ClipboardText(HWND owner)
{
    std::wstring text;
    if (!::OpenClipboard(owner))
        return L"(clipboard busy)";
    if (const HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        text = static_cast<const wchar_t*>(::GlobalLock(data));
        ::GlobalUnlock(data);
    }
    ::CloseClipboard();
    return text;
}

// Puts text on the clipboard so that a paste that gets through changes the box.
bool SetClipboardText(HWND owner, const wchar_t* text)
{
    if (!::OpenClipboard(owner))
        return false;
    ::EmptyClipboard();
    const std::size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    memcpy(::GlobalLock(memory), text, bytes);
    ::GlobalUnlock(memory);
    const bool placed = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    ::CloseClipboard();
    return placed;
}

class NumEditTyping : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dialog.Create(IDD_PANEL));
        ASSERT_TRUE(box.SubclassDlgItem(IDC_TARGET_CURRENT, &dialog));
        ASSERT_TRUE(SetClipboardText(dialog.m_hWnd, L"99"));
    }

    CString Type(const CharCase& c)
    {
        box.SetWindowText(c.start);
        if (c.selectAll)
            ::SendMessageW(box.m_hWnd, EM_SETSEL, 0, -1);
        else
            ::SendMessageW(box.m_hWnd, EM_SETSEL, strlen(c.start), static_cast<LPARAM>(strlen(c.start)));
        for (const wchar_t* ch = c.typed; *ch != 0; ++ch)
            ::SendMessageW(box.m_hWnd, WM_CHAR, *ch, 1);
        CString text;
        box.GetWindowText(text);
        return text;
    }

    CDialog dialog{IDD_PANEL};
    CNumEdit box;
};

TEST_F(NumEditTyping, LetsThroughOnlyTheKeystrokesOfASignedDecimal)
{
    for (const CharCase& c : kCharCases)
        EXPECT_EQ(Type(c), c.expected) << c.fault << " (started from \"" << c.start << "\")";
    EXPECT_EQ(ClipboardText(dialog.m_hWnd), L"99") << "a copy or cut got through";
}

TEST_F(NumEditTyping, TheSameBoxUnboundTakesEverything)
{
    // Shows the cases above can fail: without the filter the control itself accepts these.
    box.UnsubclassWindow();
    ::SendMessageW(::GetDlgItem(dialog.m_hWnd, IDC_TARGET_CURRENT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"12"));
    const HWND raw = ::GetDlgItem(dialog.m_hWnd, IDC_TARGET_CURRENT);
    ::SendMessageW(raw, EM_SETSEL, 2, 2);
    for (wchar_t ch : std::wstring(L"-a."))
        ::SendMessageW(raw, WM_CHAR, ch, 1);
    wchar_t text[32] = L"";
    ::GetWindowTextW(raw, text, 32);
    EXPECT_EQ(std::wstring(text), L"12-a.");
}

}  // namespace
