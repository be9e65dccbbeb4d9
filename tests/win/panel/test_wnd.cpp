// Windows bound to objects: lookups, binding twice, and what happens when either side goes first.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <memory>

#include "afx/afxwin.h"
#include "res/resource.h"

namespace {

class Binding : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dialog.Create(IDD_PANEL)); }
    HWND Item(int id) const { return ::GetDlgItem(dialog.m_hWnd, id); }

    CDialog dialog{IDD_PANEL};
};

TEST_F(Binding, FromHandleFindsTheBoundObjectOrOneLastingWrapper)
{
    // Catches: a bound control reached through a stand-in (its own handlers and drawing would be
    // skipped), and wrappers remade on every lookup.
    CButton bound;
    ASSERT_TRUE(bound.SubclassDlgItem(IDC_OPEN_PORT, &dialog));
    EXPECT_EQ(CWnd::FromHandle(Item(IDC_OPEN_PORT)), &bound);
    EXPECT_EQ(dialog.GetDlgItem(IDC_OPEN_PORT), &bound);
    EXPECT_EQ(CWnd::FromHandle(dialog.m_hWnd), &dialog);

    CWnd* temporary = dialog.GetDlgItem(IDC_LD_TEMP);
    ASSERT_NE(temporary, nullptr);
    EXPECT_EQ(temporary->m_hWnd, Item(IDC_LD_TEMP));
    EXPECT_EQ(dialog.GetDlgItem(IDC_LD_TEMP), temporary);
    EXPECT_EQ(dialog.GetDlgItem(4242), nullptr);
    EXPECT_EQ(CWnd::FromHandle(nullptr), nullptr);
}

TEST_F(Binding, AWindowIsBoundToOneObjectOnly)
{
    CEdit first, second;
    EXPECT_TRUE(first.SubclassDlgItem(IDC_TARGET_POWER, &dialog));
    EXPECT_FALSE(second.SubclassDlgItem(IDC_TARGET_POWER, &dialog));
    EXPECT_FALSE(first.SubclassDlgItem(IDC_TARGET_CURRENT, &dialog)) << "one object, one window";
    EXPECT_EQ(second.m_hWnd, nullptr);
}

TEST_F(Binding, TheObjectLetsGoWhenItsWindowIsDestroyed)
{
    // Catches: an object left pointing at a dead window (a later call would reach a stranger).
    CButton bound;
    ASSERT_TRUE(bound.SubclassDlgItem(IDC_SET_POWER, &dialog));
    const HWND hwnd = bound.m_hWnd;
    ASSERT_TRUE(::DestroyWindow(hwnd));
    EXPECT_EQ(bound.m_hWnd, nullptr);
    EXPECT_EQ(bound.m_pfnSuper, nullptr);
}

TEST_F(Binding, TheWindowDoesNotOutliveItsObject)
{
    // Catches: a window still routed to an object that has gone (a crash at its next message).
    const HWND hwnd = Item(IDC_SET_CURRENT);
    {
        auto bound = std::make_unique<CButton>();
        ASSERT_TRUE(bound->SubclassDlgItem(IDC_SET_CURRENT, &dialog));
    }
    EXPECT_FALSE(::IsWindow(hwnd));

    // Given back its own procedure, a window works on without the object.
    CEdit box;
    ASSERT_TRUE(box.SubclassDlgItem(IDC_TARGET_CURRENT, &dialog));
    const HWND edit = box.UnsubclassWindow();
    ASSERT_EQ(edit, Item(IDC_TARGET_CURRENT));
    EXPECT_EQ(CWnd::FromHandle(edit)->m_hWnd, edit);
    ::SetWindowTextW(edit, L"7");
    wchar_t text[8] = L"";
    ::GetWindowTextW(edit, text, 8);
    EXPECT_STREQ(text, L"7");
}

}  // namespace
