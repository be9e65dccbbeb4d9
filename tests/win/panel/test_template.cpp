// The compiled dialog template and the real dialog built from it, checked against the panel's
// control list: ids, classes, styles, texts, positions, in template (tab) order.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "panel/PanelTemplate.h"
#include "res/resource.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Reading the compiled DLGTEMPLATEEX

struct CompiledItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::wstring className;
    std::wstring text;
};

struct CompiledDialog {
    DWORD style = 0;
    DWORD exStyle = 0;
    short cx = 0, cy = 0;
    std::wstring title;
    WORD pointSize = 0;
    BYTE charset = 0;
    std::wstring typeface;
    std::vector<CompiledItem> items;
};

class TemplateReader {
public:
    TemplateReader(const BYTE* data, DWORD size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }
    WORD Word() { return Read<WORD>(); }
    DWORD Dword() { return Read<DWORD>(); }
    short Short() { return static_cast<short>(Read<WORD>()); }
    BYTE Byte() { return Read<BYTE>(); }
    void AlignDword() { at_ = (at_ + 3) & ~static_cast<DWORD>(3); }
    void Skip(DWORD n) { at_ += n; }

    std::wstring String()
    {
        std::wstring text;
        for (WORD ch = Word(); ok_ && ch != 0; ch = Word())
            text.push_back(static_cast<wchar_t>(ch));
        return text;
    }

    // A class or text field: nothing, an ordinal (the predefined classes) or a string.
    std::wstring StringOrOrdinal()
    {
        const WORD first = Word();
        if (first == 0)
            return L"";
        if (first == 0xFFFF)
            return OrdinalName(Word());
        at_ -= sizeof(WORD);
        return String();
    }

private:
    template <typename T>
    T Read()
    {
        T value{};
        if (at_ + sizeof(T) > size_) {
            ok_ = false;
            return value;
        }
        memcpy(&value, data_ + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }

    static std::wstring OrdinalName(WORD ordinal)
    {
        switch (ordinal) {
        case 0x80: return L"Button";
        case 0x81: return L"Edit";
        case 0x82: return L"Static";
        case 0x85: return L"ComboBox";
        default: return L"#" + std::to_wstring(ordinal);
        }
    }

    const BYTE* data_;
    DWORD size_;
    DWORD at_ = 0;
    bool ok_ = true;
};

// The dialog resource as the loader finds it for the template's language.
std::vector<BYTE> LoadDialogResource(WORD language)
{
    const HRSRC found = ::FindResourceExW(nullptr, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(IDD_PANEL), language);
    if (found == nullptr)
        return {};
    const BYTE* data = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
    return std::vector<BYTE>(data, data + ::SizeofResource(nullptr, found));
}

const WORD kChineseSimplified = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

bool ParseDialog(const std::vector<BYTE>& resource, CompiledDialog* dialog)
{
    TemplateReader in(resource.data(), static_cast<DWORD>(resource.size()));
    const WORD version = in.Word();
    const WORD signature = in.Word();
    if (version != 1 || signature != 0xFFFF)
        return false;  // not the extended form
    in.Dword();  // help id
    dialog->exStyle = in.Dword();
    dialog->style = in.Dword();
    const WORD count = in.Word();
    in.Short();
    in.Short();
    dialog->cx = in.Short();
    dialog->cy = in.Short();
    in.StringOrOrdinal();  // menu
    in.StringOrOrdinal();  // class
    dialog->title = in.String();
    if (dialog->style & DS_SETFONT) {
        dialog->pointSize = in.Word();
        in.Word();  // weight
        in.Byte();  // italic
        dialog->charset = in.Byte();
        dialog->typeface = in.String();
    }
    for (WORD i = 0; i < count && in.ok(); ++i) {
        in.AlignDword();
        CompiledItem item;
        in.Dword();  // help id
        item.exStyle = in.Dword();
        item.style = in.Dword();
        item.x = in.Short();
        item.y = in.Short();
        item.cx = in.Short();
        item.cy = in.Short();
        item.id = static_cast<int>(in.Dword());
        item.className = in.StringOrOrdinal();
        item.text = in.StringOrOrdinal();
        in.Skip(in.Word());  // creation data
        dialog->items.push_back(item);
    }
    return in.ok();
}

bool SameClass(const std::wstring& a, const char* b)
{
    return ::lstrcmpiW(a.c_str(), Widen(b).c_str()) == 0;
}

// ---------------------------------------------------------------------------------------------
// The compiled resource

TEST(CompiledTemplate, IsChineseSimplifiedAndKeepsTheSixteenBitCharacters)
{
    // Catches: the script compiled without UTF-8 (《 》 ℃ turn into other characters), or under
    // another language, where the panel would not find it on a Chinese system.
    const std::vector<BYTE> resource = LoadDialogResource(kChineseSimplified);
    ASSERT_FALSE(resource.empty()) << "no RT_DIALOG " << IDD_PANEL << " in Chinese (Simplified)";
    const struct {
        wchar_t ch;
        const char* name;
    } kWanted[] = {{0x300A, "U+300A 《"}, {0x300B, "U+300B 》"}, {0x2103, "U+2103 ℃"}};
    for (const auto& wanted : kWanted) {
        bool found = false;
        for (std::size_t at = 0; at + 1 < resource.size() && !found; at += 2)
            found = (resource[at] | (resource[at + 1] << 8)) == wanted.ch;
        EXPECT_TRUE(found) << wanted.name << " missing from the compiled template";
    }
}

TEST(CompiledTemplate, EqualsTheControlListExactly)
{
    // Catches: a style bit added by the script's shorthand statements (WS_TABSTOP, WS_GROUP),
    // a control out of order, a wrong id, class, caption or position, a different font or size.
    const PanelTemplate& want = GetPanelTemplate();
    CompiledDialog got;
    ASSERT_TRUE(ParseDialog(LoadDialogResource(kChineseSimplified), &got));

    EXPECT_EQ(got.style, want.style) << std::hex;
    EXPECT_EQ(got.exStyle, want.exStyle);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.title, Widen(want.caption));
    EXPECT_EQ(got.typeface, Widen(want.fontName));
    EXPECT_EQ(got.pointSize, want.pointSize);
    EXPECT_EQ(got.charset, DEFAULT_CHARSET);

    ASSERT_EQ(static_cast<int>(got.items.size()), want.controlCount);
    for (int i = 0; i < want.controlCount; ++i) {
        const PanelControl& w = want.controls[i];
        const CompiledItem& g = got.items[static_cast<std::size_t>(i)];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + w.text + "\" id " + std::to_string(w.id));
        EXPECT_EQ(g.id, w.id);
        EXPECT_TRUE(SameClass(g.className, w.className)) << Narrow(g.className);
        EXPECT_EQ(g.style, w.style) << std::hex << "got 0x" << g.style << " want 0x" << w.style;
        EXPECT_EQ(g.exStyle, w.exStyle);
        EXPECT_EQ(g.text, Widen(w.text));
        EXPECT_EQ((std::vector<short>{g.x, g.y, g.cx, g.cy}), (std::vector<short>{w.x, w.y, w.cx, w.cy}));
    }
}

TEST(CompiledTemplate, IconGroupHoldsThreeImagesOfTheRightSizesAndDepths)
{
    // Catches: a missing or wrongly built icon (the panel would show the system's default).
    const HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(IDI_PANEL), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
    ASSERT_NE(found, nullptr);
    const BYTE* data = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
    ASSERT_GE(::SizeofResource(nullptr, found), 6u);
    WORD count = 0;
    memcpy(&count, data + 4, sizeof count);
    ASSERT_EQ(count, 3);
    const struct {
        BYTE size;
        WORD bits;
    } kImages[] = {{32, 4}, {16, 4}, {48, 8}};
    for (int i = 0; i < 3; ++i) {
        const BYTE* entry = data + 6 + 14 * i;  // GRPICONDIRENTRY
        WORD bits = 0;
        memcpy(&bits, entry + 6, sizeof bits);
        EXPECT_EQ(entry[0], kImages[i].size) << "image " << i;
        EXPECT_EQ(entry[1], kImages[i].size) << "image " << i;
        EXPECT_EQ(bits, kImages[i].bits) << "image " << i;
    }
    EXPECT_NE(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_PANEL), IMAGE_ICON, 48, 48, 0), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The real dialog

// Style bits the system may set or clear on a real control, left out of the comparison:
// WS_CLIPSIBLINGS, which the extended combo box gives itself, and the scroll bar bits, which
// edit controls and list boxes set and clear as their content needs. WS_BORDER is compared on
// its own: the dialog manager gives bordered controls the 3-D look by turning it into
// WS_EX_CLIENTEDGE. Everything else (type, alignment, tab stop, group, visibility) must be the
// template's.
constexpr DWORD kSystemManagedControlBits = WS_CLIPSIBLINGS | WS_VSCROLL | WS_HSCROLL | WS_BORDER;
// The dialog itself gains WS_CLIPSIBLINGS as a captioned top-level window, and DS_3DLOOK, which
// the dialog manager sets for every dialog of a program of this age.
constexpr DWORD kSystemManagedDialogBits = WS_CLIPSIBLINGS | DS_3DLOOK;

// Where the dialog manager asked each window to be created, before any control resized itself.
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
        ASSERT_NE(hook, nullptr);
        const BOOL created = dialog_.Create(IDD_PANEL);
        ::UnhookWindowsHookEx(hook);
        ASSERT_TRUE(created) << "CreateDialogParamW failed";
    }

    RECT CreatedAt(HWND window) const
    {
        for (const auto& [hwnd, rect] : createdAt)
            if (hwnd == window)
                return rect;
        return RECT{-1, -1, -1, -1};
    }

    HWND hwnd() const { return dialog_.m_hWnd; }

    // As the dialog manager places a control: origin and size converted each on its own, so the
    // far edge is not simply the converted x + cx.
    RECT DialogUnitsToPixels(short x, short y, short cx, short cy) const
    {
        RECT units{x, y, cx, cy};
        ::MapDialogRect(hwnd(), &units);
        return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
    }

    std::vector<HWND> Children() const
    {
        std::vector<HWND> children;
        for (HWND child = ::GetWindow(hwnd(), GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
            children.push_back(child);
        return children;
    }

    CDialog dialog_{IDD_PANEL};
};

TEST_F(RealDialog, HasTheCaptionSizeAndStyleOfTheTemplate)
{
    // Catches: a narrow-API dialog (caption through the code page), a wrong size or frame.
    const PanelTemplate& want = GetPanelTemplate();
    wchar_t caption[128] = L"";
    ::GetWindowTextW(hwnd(), caption, 128);
    EXPECT_EQ(std::wstring(caption), Widen(want.caption));

    RECT client{};
    ::GetClientRect(hwnd(), &client);
    const RECT expected = DialogUnitsToPixels(0, 0, want.cx, want.cy);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);

    const DWORD style = static_cast<DWORD>(::GetWindowLongW(hwnd(), GWL_STYLE));
    EXPECT_EQ(style & ~kSystemManagedDialogBits, want.style) << std::hex << style;
    const DWORD exStyle = static_cast<DWORD>(::GetWindowLongW(hwnd(), GWL_EXSTYLE));
    EXPECT_TRUE(exStyle & WS_EX_APPWINDOW) << "not shown on the task bar";
    EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME) << "no modal frame";
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
}

TEST_F(RealDialog, HasEveryControlOfTheListInOrderWithIdClassStyleTextAndPosition)
{
    // Catches: a control the system could not create (common controls not registered), tab order
    // changed, a style lost or gained at creation, texts converted through the code page, and
    // controls placed elsewhere than the template says.
    const PanelTemplate& want = GetPanelTemplate();
    const std::vector<HWND> children = Children();
    ASSERT_EQ(static_cast<int>(children.size()), want.controlCount);
    for (int i = 0; i < want.controlCount; ++i) {
        const PanelControl& w = want.controls[i];
        const HWND child = children[static_cast<std::size_t>(i)];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + w.text + "\" id " + std::to_string(w.id));

        EXPECT_EQ(::GetDlgCtrlID(child), w.id);

        wchar_t className[64] = L"";
        ::GetClassNameW(child, className, 64);
        EXPECT_TRUE(SameClass(className, w.className)) << Narrow(className);

        const DWORD style = static_cast<DWORD>(::GetWindowLongW(child, GWL_STYLE));
        const DWORD exStyle = static_cast<DWORD>(::GetWindowLongW(child, GWL_EXSTYLE));
        EXPECT_EQ(style & ~kSystemManagedControlBits, w.style & ~kSystemManagedControlBits)
            << std::hex << "got 0x" << style << " want 0x" << w.style;
        const bool bordered = (style & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE);
        EXPECT_EQ(bordered, (w.style & WS_BORDER) != 0) << std::hex << "style 0x" << style << " ex 0x" << exStyle;

        wchar_t text[64] = L"";
        ::GetWindowTextW(child, text, 64);
        EXPECT_EQ(std::wstring(text), Widen(w.text));

        const RECT expected = DialogUnitsToPixels(w.x, w.y, w.cx, w.cy);
        const RECT created = CreatedAt(child);
        EXPECT_EQ((std::vector<LONG>{created.left, created.top, created.right, created.bottom}),
                  (std::vector<LONG>{expected.left, expected.top, expected.right, expected.bottom}))
            << "created elsewhere";

        // Still there once shown. The extended combo box then shrinks to its selection field
        // (the template's height is its dropped-down list's), so only its height may differ.
        RECT placed{};
        ::GetWindowRect(child, &placed);
        ::MapWindowPoints(HWND_DESKTOP, hwnd(), reinterpret_cast<POINT*>(&placed), 2);
        if (SameClass(className, "ComboBoxEx32"))
            placed.bottom = expected.bottom;
        EXPECT_EQ((std::vector<LONG>{placed.left, placed.top, placed.right, placed.bottom}),
                  (std::vector<LONG>{expected.left, expected.top, expected.right, expected.bottom}))
            << "moved after creation";
    }
}

}  // namespace
