// The output switch paints its colour with a one-pixel frame in the complementary colour, is
// reached through the dialog's owner-draw request, repaints at once when its caption changes and
// gives back every brush it makes.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "panel/ColorButton.h"
#include "res/resource.h"

namespace {

// Remembers what each drawing of the switch showed.
class ProbeColorButton : public CColorButton {
public:
    struct Drawn {
        COLORREF color;
        std::string caption;
    };
    void DrawItem(AfxDrawItem* item) override
    {
        CColorButton::DrawItem(item);
        CString caption;
        GetWindowText(caption);
        drawn.push_back({color, caption.str()});
    }
    std::vector<Drawn> drawn;
};

class ColorSwitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dialog.Create(IDD_PANEL));
        ASSERT_TRUE(button.SubclassDlgItem(IDC_OUTPUT_SWITCH, &dialog));
        // As the panel makes it owner-drawn when it opens.
        button.ModifyStyle(0, BS_OWNERDRAW);
        ::GetClientRect(button.m_hWnd, &client);
    }

    // Asks the real button to paint into bitmap: the button sends WM_DRAWITEM to the dialog,
    // which must hand it to the switch's object.
    void PrintInto(const MemoryBitmap& bitmap)
    {
        ::SendMessageW(button.m_hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(bitmap.dc()), PRF_CLIENT);
    }

    CDialog dialog{IDD_PANEL};
    ProbeColorButton button;
    RECT client{};
};

struct ColorCase {
    COLORREF fill;
    COLORREF frame;
};

const ColorCase kColorCases[] = {
    {RGB(245, 245, 245), RGB(10, 10, 10)},  // output off
    {RGB(255, 0, 0), RGB(0, 255, 255)},     // output on
    {RGB(0, 0, 0), RGB(255, 255, 255)},     // never set
    {RGB(18, 52, 86), RGB(237, 203, 169)},
};

// Interior, frame and outside pixels of a drawing of rect into bitmap.
void ExpectFillAndFrame(const MemoryBitmap& bitmap, const RECT& rect, const ColorCase& c, COLORREF outside)
{
    const int l = rect.left, t = rect.top, r = rect.right - 1, b = rect.bottom - 1;
    const int mx = (l + r) / 2, my = (t + b) / 2;
    const struct {
        int x, y;
        COLORREF want;
        const char* where;
    } kProbes[] = {
        {l + 1, t + 1, c.fill, "inside, top left"},       {r - 1, b - 1, c.fill, "inside, bottom right"},
        {l + 1, my, c.fill, "inside, left middle"},       {r - 1, my, c.fill, "inside, right middle"},
        {l, t, c.frame, "frame, top left corner"},        {r, b, c.frame, "frame, bottom right corner"},
        {mx, t, c.frame, "frame, top edge"},              {mx, b, c.frame, "frame, bottom edge"},
        {l, my, c.frame, "frame, left edge"},             {r, my, c.frame, "frame, right edge"},
    };
    for (const auto& p : kProbes) {
        EXPECT_EQ(ColorText(bitmap.Pixel(p.x, p.y)), ColorText(p.want)) << p.where << " fill " << ColorText(c.fill);
    }
    if (rect.left > 0) {
        EXPECT_EQ(ColorText(bitmap.Pixel(rect.left - 1, my)), ColorText(outside)) << "painted outside its rectangle";
    }
}

TEST_F(ColorSwitch, DrawItemFillsWithItsColourAndFramesInTheComplement)
{
    // Drawn straight into a memory bitmap at an offset, so painting outside the item shows.
    const COLORREF marker = RGB(1, 2, 3);
    MemoryBitmap bitmap(80, 40);
    const RECT rect{5, 5, 65, 30};
    CDC dc;
    dc.m_hDC = bitmap.dc();
    for (const ColorCase& c : kColorCases) {
        bitmap.Fill(marker);
        button.SetColor(c.fill);
        AfxDrawItem item;
        item.dc = &dc;
        item.rect = CRect(rect.left, rect.top, rect.right, rect.bottom);
        button.DrawItem(&item);
        ExpectFillAndFrame(bitmap, rect, c, marker);
    }
}

TEST_F(ColorSwitch, CaptionIsDrawnCentredOnTheFillWithoutABackground)
{
    // Catches: the caption missing, off centre, or drawn with an opaque background box. On a red
    // fill with black text every pixel lies between the two, so green and blue stay 0; any
    // background colour would bring them in.
    MemoryBitmap bitmap(client.right, client.bottom);
    button.SetColor(RGB(255, 0, 0));
    button.SetWindowText("ON");
    PrintInto(bitmap);
    int dark = 0, notRedOrBlack = 0, darkLeft = 0, darkRight = 0;
    for (int y = 1; y < client.bottom - 1; ++y)
        for (int x = 1; x < client.right - 1; ++x) {
            const COLORREF p = bitmap.Pixel(x, y);
            if (GetGValue(p) != 0 || GetBValue(p) != 0)
                ++notRedOrBlack;
            if (GetRValue(p) < 128) {
                ++dark;
                (x < client.right / 2 ? darkLeft : darkRight) += 1;
            }
        }
    EXPECT_GT(dark, 10) << "no caption drawn";
    EXPECT_EQ(notRedOrBlack, 0) << "the caption's background was painted";
    EXPECT_GT(darkLeft, dark / 4) << "caption not centred";
    EXPECT_GT(darkRight, dark / 4) << "caption not centred";
}

TEST_F(ColorSwitch, TheButtonsOwnerDrawRequestReachesTheSwitch)
{
    // Catches: WM_DRAWITEM not reflected to the control's object, or the owner-draw style not
    // taking effect on the real button.
    MemoryBitmap bitmap(client.right, client.bottom);
    for (const ColorCase& c : kColorCases) {
        bitmap.Fill(RGB(1, 2, 3));
        button.SetColor(c.fill);
        const std::size_t before = button.drawn.size();
        PrintInto(bitmap);
        ASSERT_EQ(button.drawn.size(), before + 1) << "the switch was not asked to draw";
        ExpectFillAndFrame(bitmap, client, c, RGB(1, 2, 3));
    }
}

TEST_F(ColorSwitch, ACaptionChangeShowsTheNewColourAtOnce)
{
    // As the panel switches the output: colour first, caption right after.
    const struct {
        COLORREF color;
        const char* caption;
    } kSteps[] = {{RGB(255, 0, 0), "ON"}, {RGB(245, 245, 245), "OFF"}, {RGB(255, 0, 0), "ON"}};
    ASSERT_TRUE(::IsWindowVisible(button.m_hWnd));
    for (const auto& step : kSteps) {
        button.SetColor(step.color);
        button.SetWindowText(step.caption);
        const bool shown = PumpUntil(
            [&] {
                return !button.drawn.empty() && button.drawn.back().color == step.color &&
                       button.drawn.back().caption == step.caption;
            },
            1000);
        EXPECT_TRUE(shown) << step.caption << " in " << ColorText(step.color) << " not drawn";
    }
}

TEST_F(ColorSwitch, ManyRepaintsLeakNoGdiObject)
{
    // Catches: a brush not released. GetGuiResources answers 0 under Wine (a stub), so there the
    // leak is made visible by exhaustion: Wine's GDI handle table holds 65536 objects, so after
    // 66000 drawings even one brush leaked per drawing leaves none to create, and the last
    // drawing comes out wrong. On Windows the object count itself shows it.
    constexpr int kRepaints = 66000;
    MemoryBitmap bitmap(client.right, client.bottom);
    CDC dc;
    dc.m_hDC = bitmap.dc();
    AfxDrawItem item;
    item.dc = &dc;
    item.rect = CRect(client.left, client.top, client.right, client.bottom);
    const DWORD objectsBefore = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    button.SetColor(RGB(255, 0, 0));
    for (int i = 0; i < kRepaints; ++i)
        button.CColorButton::DrawItem(&item);
    const DWORD objectsAfter = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    EXPECT_LE(objectsAfter, objectsBefore + 8) << "GDI objects grew from " << objectsBefore;

    bitmap.Fill(RGB(1, 2, 3));
    button.SetColor(RGB(245, 245, 245));
    PrintInto(bitmap);
    ExpectFillAndFrame(bitmap, client, kColorCases[0], RGB(1, 2, 3));
    const HBRUSH probe = ::CreateSolidBrush(RGB(1, 1, 1));
    EXPECT_NE(probe, nullptr) << "GDI handles exhausted";
    ::DeleteObject(probe);
}

}  // namespace
