// The system's controls behave as the panel relies on: the slider holds a position outside its
// range at the range's end, an auto check box toggles itself on every click, and the extended
// combo box keeps insertion order although the template asks for sorting. The wrappers used are
// the panel's own, so a wrong message in a wrapper shows here too.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "res/resource.h"

namespace {

// The real dialog, counting the clicks its message table routes from the ACC box.
class ClickCountingDialog : public CDialog {
public:
    ClickCountingDialog() : CDialog(IDD_PANEL) {}
    void OnModeAcc() { ++accClicks; }
    int accClicks = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ClickCountingDialog, CDialog)
    ON_BN_CLICKED(IDC_MODE_ACC, &ClickCountingDialog::OnModeAcc)
END_MESSAGE_MAP()

class RealControls : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dialog.Create(IDD_PANEL));
        ASSERT_TRUE(slider.SubclassDlgItem(IDC_CURRENT_SLIDER, &dialog));
        ASSERT_TRUE(modeAcc.SubclassDlgItem(IDC_MODE_ACC, &dialog));
        ASSERT_TRUE(portList.SubclassDlgItem(IDC_PORT_LIST, &dialog));
    }

    ClickCountingDialog dialog;
    CSliderCtrl slider;
    CButton modeAcc;
    CComboBoxEx portList;
};

// ---------------------------------------------------------------------------------------------
// Slider

struct SliderCase {
    const char* fault;
    int minPos, maxPos, setTo, expected;
};

const SliderCase kSliderCases[] = {
    {"a position above the range is not held at the top", 0, 100, 500, 100},
    {"a position below the range is not held at the bottom", 0, 100, -20, 0},
    {"a position inside the range is not kept", 0, 100, 37, 37},
    {"a range wider than 16 bits is truncated", 0, 40000, 39000, 39000},
};

TEST_F(RealControls, SliderHoldsItsPositionInsideTheRange)
{
    for (const SliderCase& c : kSliderCases) {
        SCOPED_TRACE(c.fault);
        slider.SetRange(c.minPos, c.maxPos, TRUE);
        slider.SetPos(c.setTo);
        EXPECT_EQ(slider.GetRangeMin(), c.minPos);
        EXPECT_EQ(slider.GetRangeMax(), c.maxPos);
        EXPECT_EQ(slider.GetPos(), c.expected);
    }
}

TEST_F(RealControls, SliderCountsItsTicksWithBothEnds)
{
    // Catches: ticks not cleared before a new range's ticks are set (they would pile up).
    slider.SetRange(0, 12000, FALSE);
    slider.ClearTics(TRUE);
    EXPECT_EQ(slider.GetNumTics(), 2) << "only the two ends after clearing";
    for (int i = 1; i < 10; ++i)
        EXPECT_TRUE(slider.SetTic(i * 12000 / 10));
    EXPECT_EQ(slider.GetNumTics(), 11);
    slider.ClearTics(TRUE);
    EXPECT_EQ(slider.GetNumTics(), 2);
}

// ---------------------------------------------------------------------------------------------
// Auto check box

struct ClickCase {
    const char* how;
    void (*click)(HWND button);
};

void ClickByMessage(HWND button)
{
    ::SendMessageW(button, BM_CLICK, 0, 0);
}

// A real press and release inside the box, posted as the operator's mouse would queue them.
void ClickByMouse(HWND button)
{
    ::PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    ::PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
}

const ClickCase kClickCases[] = {
    {"BM_CLICK", &ClickByMessage},
    {"posted mouse press and release", &ClickByMouse},
};

TEST_F(RealControls, AutoCheckBoxTogglesOnEveryClickAndTheTableSeesIt)
{
    // Catches: a check box that does not toggle itself (the panel would have to), and clicks
    // that do not reach the dialog's message table.
    for (const ClickCase& c : kClickCases) {
        SCOPED_TRACE(c.how);
        modeAcc.SetCheck(BST_UNCHECKED);
        const int before = dialog.accClicks;
        for (int expectedCheck : {BST_CHECKED, BST_UNCHECKED, BST_CHECKED}) {
            const int clicksWanted = dialog.accClicks + 1;
            c.click(modeAcc.m_hWnd);
            EXPECT_TRUE(PumpUntil([&] { return dialog.accClicks == clicksWanted; }, 2000));
            EXPECT_EQ(modeAcc.GetCheck(), expectedCheck);
        }
        EXPECT_EQ(dialog.accClicks - before, 3);
    }
}

// ---------------------------------------------------------------------------------------------
// Extended combo box

struct InsertCase {
    const char* fault;
    std::vector<const char*> names;  // inserted at positions 0, 1, 2, ...
};

const InsertCase kInsertCases[] = {
    {"entries sorted although inserted COM7 then COM3", {"COM7", "COM3"}},
    {"entries sorted as text (COM10 before COM9)", {"COM1", "COM9", "COM10", "COM254"}},
};

TEST_F(RealControls, ExtendedComboBoxKeepsInsertionOrderDespiteTheSortFlag)
{
    ASSERT_TRUE(portList.GetStyle() & CBS_SORT) << "the template's sort flag is part of this check";
    for (const InsertCase& c : kInsertCases) {
        SCOPED_TRACE(c.fault);
        portList.ResetContent();
        EXPECT_EQ(portList.GetCount(), 0);
        EXPECT_EQ(portList.GetCurSel(), CB_ERR);
        for (std::size_t i = 0; i < c.names.size(); ++i)
            EXPECT_EQ(portList.InsertItem(static_cast<int>(i), c.names[i]), static_cast<int>(i));
        ASSERT_EQ(portList.GetCount(), static_cast<int>(c.names.size()));
        for (std::size_t i = 0; i < c.names.size(); ++i)
            EXPECT_EQ(portList.GetItemText(static_cast<int>(i)), c.names[i]) << "entry " << i;
        EXPECT_EQ(portList.SetCurSel(1), 1);
        EXPECT_EQ(portList.GetCurSel(), 1);
    }
}

}  // namespace
