// The real controls of the real dialog as the panel relies on them: the system's slider, check box
// and extended combo box, then the panel's own setpoint box and output switch.
#include "afx/win32/winsys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "panel/ColorButton.h"
#include "panel/NumEdit.h"
#include "res/resource.h"

namespace {

// Dispatches this thread's messages until done() holds or the deadline passes; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 2000)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    MSG msg;
    while (!done() && ::GetTickCount64() < deadline) {
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

class PanelControls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dialog.Create(IDD_PANEL)); }
    CDialog dialog{IDD_PANEL};
};

TEST_F(PanelControls, SliderHoldsAPositionOutsideItsRangeAtItsEnd)
{
    CSliderCtrl slider;
    ASSERT_TRUE(slider.SubclassDlgItem(IDC_CURRENT_SLIDER, &dialog));
    const struct {
        int maxPos, setTo, held;
    } kCases[] = {{100, 500, 100}, {100, -20, 0}, {100, 37, 37}, {40000, 39000, 39000} /* wider than 16 bits */};
    for (const auto& c : kCases) {
        slider.SetRange(0, c.maxPos, TRUE);
        slider.SetPos(c.setTo);
        EXPECT_EQ(slider.GetPos(), c.held) << "set to " << c.setTo << " in 0.." << c.maxPos;
    }
}

TEST_F(PanelControls, AutoCheckBoxTogglesOnEveryClick)
{
    // Catches: a mode box that does not toggle itself; the panel leaves that to the platform.
    CButton box;
    ASSERT_TRUE(box.SubclassDlgItem(IDC_MODE_ACC, &dialog));
    for (const int expected : {BST_CHECKED, BST_UNCHECKED, BST_CHECKED}) {
        ::PostMessageW(box.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
        ::PostMessageW(box.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
        EXPECT_TRUE(PumpUntil([&] { return box.GetCheck() == expected; })) << "not " << expected << " after a click";
    }
}

TEST_F(PanelControls, ExtendedComboBoxKeepsInsertionOrderDespiteTheSortFlag)
{
    CComboBoxEx list;
    ASSERT_TRUE(list.SubclassDlgItem(IDC_PORT_LIST, &dialog));
    ASSERT_TRUE(::GetWindowLongW(list.m_hWnd, GWL_STYLE) & CBS_SORT)
        << "the template's sort flag is part of this check";
    const char* const kPorts[] = {"COM7", "COM3", "COM10", "COM9"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(list.InsertItem(i, kPorts[i]), i);
    ASSERT_EQ(::SendMessageW(list.m_hWnd, CB_GETCOUNT, 0, 0), 4);
    for (int i = 0; i < 4; ++i) {
        char text[32] = "";
        COMBOBOXEXITEMA item = {};
        item.mask = CBEIF_TEXT;
        item.iItem = i;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        ::SendMessageA(list.m_hWnd, CBEM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(text, kPorts[i]) << "entry " << i;
    }
}

// ---------------------------------------------------------------------------------------------
// The setpoint box

struct CharCase {
    const char* fault;
    const char* start;
    bool selectAll;  // otherwise the caret stands at the end
    const wchar_t* typed;
    const char* expected;
};

// Enter and Ctrl+A are left out: the box ignores both as characters anyway.
const CharCase kCharCases[] = {
    {"a signed decimal typed into an empty box is not kept", "", false, L"-12.5", "-12.5"},
    {"a second point is let through", "12.5", false, L".3", "12.53"},
    {"a minus sign is let into a box holding 12", "12", false, L"-", "12"},
    {"a point is let into an empty box", "", false, L".", ""},
    {"a point is let into a box whose 1.5 is fully selected", "1.5", true, L".", "1.5"},
    {"a point is refused after a lone minus sign", "-", false, L".5", "-.5"},
    {"letters, a space or a plus sign are let through", "4", false, L"aZ e+", "4"},
    {"Tab reaches the box", "4", false, L"\t", "4"},
    {"Ctrl+X cuts the selection", "4", true, L"\x18", "4"},
    {"Ctrl+C copies the selection (the clipboard is pasted below)", "45", true, L"\x03", "45"},
    {"Ctrl+V pastes the clipboard", "4", false, L"\x16", "4"},
    {"Ctrl+Z undoes the typing", "", false, L"12\x1a", "12"},
    {"backspace does not pass", "123", false, L"\b", "12"},
    {"digits do not always pass", "1.5", false, L"0123456789", "1.50123456789"},
};

TEST_F(PanelControls, NumEditLetsThroughOnlyTheKeystrokesOfASignedDecimal)
{
    CNumEdit box;
    ASSERT_TRUE(box.SubclassDlgItem(IDC_TARGET_CURRENT, &dialog));
    const auto textAfter = [&](const char* start, bool selectAll, const wchar_t* typed, UINT message = 0) {
        box.SetWindowText(start);
        const auto end = static_cast<LPARAM>(strlen(start));
        ::SendMessageW(box.m_hWnd, EM_SETSEL, selectAll ? 0 : end, selectAll ? -1 : end);
        for (const wchar_t* ch = typed; *ch != 0; ++ch)
            ::SendMessageW(box.m_hWnd, WM_CHAR, *ch, 1);
        if (message != 0)
            ::SendMessageW(box.m_hWnd, message, 0, 0);  // unfiltered: not a character
        CString text;
        box.GetWindowText(text);
        return text.str();
    };
    // A clipboard to paste from, and proof that a paste would show.
    textAfter("99", true, L"", WM_COPY);
    ASSERT_EQ(textAfter("", false, L"", WM_PASTE), "99");

    for (const CharCase& c : kCharCases)
        EXPECT_EQ(textAfter(c.start, c.selectAll, c.typed), c.expected) << c.fault << " (from \"" << c.start << "\")";
    EXPECT_EQ(textAfter("", false, L"", WM_PASTE), "99") << "a copy or cut got through";
}

// ---------------------------------------------------------------------------------------------
// The output switch

// Remembers the caption and colour of its last drawing.
class ProbeSwitch : public CColorButton {
public:
    void DrawItem(AfxDrawItem* item) override
    {
        CColorButton::DrawItem(item);
        CString caption;
        GetWindowText(caption);
        drawn = caption.str() + " " + std::to_string(m_color);
    }
    std::string drawn;
};

// A 32-bit memory bitmap to paint into and read back.
struct Canvas {
    explicit Canvas(const RECT& size) : bitmap(::CreateBitmap(size.right, size.bottom, 1, 32, nullptr))
    {
        old = ::SelectObject(dc, bitmap);
    }
    ~Canvas()
    {
        ::SelectObject(dc, old);
        ::DeleteObject(bitmap);
        ::DeleteDC(dc);
    }
    HDC dc = ::CreateCompatibleDC(nullptr);
    HBITMAP bitmap;
    HGDIOBJ old = nullptr;
};

class OutputSwitch : public PanelControls {
protected:
    void SetUp() override
    {
        PanelControls::SetUp();
        ASSERT_TRUE(button.SubclassDlgItem(IDC_OUTPUT_SWITCH, &dialog));
        button.ModifyStyle(0, BS_OWNERDRAW);  // as the panel does when it opens
        ::GetClientRect(button.m_hWnd, &client);
    }
    ProbeSwitch button;
    RECT client{};
};

TEST_F(OutputSwitch, PaintsItsColourFramedOnePixelWideInTheComplementWithItsCaptionCentred)
{
    // Painted by the real button, so the dialog must hand its owner-draw request to the switch.
    const int r = client.right - 1, b = client.bottom - 1, mx = r / 2, my = b / 2;
    const struct {
        int x, y;
        bool frame;
    } kPoints[] = {{0, 0, true}, {r, b, true}, {mx, 0, true}, {mx, b, true}, {0, my, true}, {r, my, true},
        {1, 1, false}, {1, my, false}, {r - 1, b - 1, false}, {r - 1, my, false}};
    const struct {
        COLORREF fill, frame;
    } kColors[] = {{RGB(245, 245, 245), RGB(10, 10, 10)}, {RGB(255, 0, 0), RGB(0, 255, 255)},
        {RGB(18, 52, 86), RGB(237, 203, 169)}};
    for (const auto& c : kColors) {
        const Canvas canvas(client);
        button.SetColor(c.fill);
        ::SendMessageW(button.m_hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT);
        for (const auto& p : kPoints)
            EXPECT_EQ(::GetPixel(canvas.dc, p.x, p.y), p.frame ? c.frame : c.fill)
                << std::hex << "fill 0x" << c.fill << " at " << std::dec << p.x << "," << p.y;
        // Black text on no background: inside, nothing is lighter than the fill.
        int caption[2] = {0, 0}, lighter = 0;
        for (int y = 1; y < b; ++y)
            for (int x = 1; x < r; ++x) {
                const COLORREF p = ::GetPixel(canvas.dc, x, y);
                lighter += GetRValue(p) > GetRValue(c.fill) || GetGValue(p) > GetGValue(c.fill)
                    || GetBValue(p) > GetBValue(c.fill);
                caption[x > mx] += p != c.fill;
            }
        EXPECT_EQ(lighter, 0) << "the caption's background was painted";
        EXPECT_GT(caption[0], 10) << "no caption";
        EXPECT_GT(caption[0] * 3, caption[1] * 2) << "caption not centred";
        EXPECT_GT(caption[1] * 3, caption[0] * 2) << "caption not centred";
    }
}

TEST_F(OutputSwitch, ACaptionChangeShowsTheNewColourAtOnce)
{
    // As the panel switches the output: colour first, caption right after, no explicit repaint.
    for (const auto& [color, caption] :
        {std::pair{RGB(255, 0, 0), "ON"}, {RGB(245, 245, 245), "OFF"}, {RGB(255, 0, 0), "ON"}}) {
        button.SetColor(color);
        button.SetWindowText(caption);
        const std::string wanted = caption + (" " + std::to_string(color));
        EXPECT_TRUE(PumpUntil([&] { return button.drawn == wanted; })) << wanted << " not drawn";
    }
}

TEST_F(OutputSwitch, ManyRepaintsLeakNoGdiObject)
{
    // GetGuiResources is a stub under Wine (0); there a leak shows by exhaustion instead: Wine's
    // table holds 65536 GDI objects, so one brush leaked per drawing leaves none to create.
    const Canvas canvas(client);
    CDC dc;
    dc.m_hDC = canvas.dc;
    AfxDrawItem item;
    item.dc = &dc;
    item.rect = CRect(0, 0, client.right, client.bottom);
    const DWORD before = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    for (int i = 0; i < 66000; ++i)
        button.CColorButton::DrawItem(&item);
    EXPECT_LE(::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS), before + 8);
    // A leaking drawing frees the brush it did not leak, so ask for more than one.
    std::vector<HBRUSH> spare(100);
    for (HBRUSH& brush : spare)
        brush = ::CreateSolidBrush(RGB(1, 2, 3));
    EXPECT_EQ(std::count(spare.begin(), spare.end(), nullptr), 0) << "GDI handles exhausted";
    for (const HBRUSH brush : spare)
        ::DeleteObject(brush);
}

}  // namespace
