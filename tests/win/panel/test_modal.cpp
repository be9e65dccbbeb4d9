// The modal run: every queued message goes to PreTranslateMessage before the dialog manager and
// dispatch see it, the caption's close box ends the run, and Enter and Escape swallowed in
// pre-translation leave the dialog open.
#include "afx/win32/winsys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "res/resource.h"

namespace {

constexpr UINT_PTR kDeadlineTimer = 77;
constexpr int kTimedOut = -7;

// A message posted once the dialog is open: to the dialog (0), a control, or the thread (-1).
struct Post {
    int to;
    UINT message;
    WPARAM wParam;
};

// A message given to PreTranslateMessage, as the log shows it.
std::string Pre(UINT message, WPARAM wParam = 0)
{
    if (message == WM_SYSCOMMAND)
        return wParam == SC_CLOSE ? "pre close box; " : "pre syscommand; ";
    if (message == WM_KEYDOWN)
        return wParam == VK_RETURN ? "pre Enter; " : wParam == VK_ESCAPE ? "pre Escape; " : "pre key; ";
    return "pre app+" + std::to_string(message - WM_APP) + "; ";
}

// Logs what the run shows it: each queued marker, key or system command given to
// PreTranslateMessage, and each click command ("click <id>").
class ModalProbe : public CDialog {
public:
    ModalProbe(std::vector<Post> posts, bool swallowEnterAndEscape)
        : CDialog(IDD_PANEL), posts_(std::move(posts)), swallow_(swallowEnterAndEscape)
    {
    }

    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        SetTimer(kDeadlineTimer, 10000);
        for (const Post& p : posts_) {
            if (p.to < 0)
                ::PostThreadMessageW(::GetCurrentThreadId(), p.message, p.wParam, 0);
            else
                ::PostMessageW(p.to == 0 ? m_hWnd : ::GetDlgItem(m_hWnd, p.to), p.message, p.wParam, 0);
        }
        return TRUE;
    }

    BOOL PreTranslateMessage(AfxMsg* msg) override
    {
        if (msg->message >= WM_APP || msg->message == WM_KEYDOWN || msg->message == WM_SYSCOMMAND)
            log += Pre(msg->message, msg->wParam);
        return swallow_ && msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE);
    }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
            log += "click " + std::to_string(LOWORD(wParam)) + "; ";
        if (message == WM_TIMER && wParam == kDeadlineTimer)
            EndDialog(kTimedOut);
        return CDialog::WindowProc(message, wParam, lParam);
    }

    std::string log;

private:
    std::vector<Post> posts_;
    bool swallow_;
};

const Post kCloseBox{0, WM_SYSCOMMAND, SC_CLOSE};
const Post kMarker{0, WM_APP + 4, 0};
// The close box, seen by pre-translation, then the cancel command it becomes.
const std::string kClosed = Pre(WM_SYSCOMMAND, SC_CLOSE) + "click 2; ";

struct ModalCase {
    const char* fault;
    std::vector<Post> posts;
    bool swallow;
    std::string log;
    INT_PTR result;
};

const ModalCase kModalCases[] = {
    {"the close box does not end the run", {kCloseBox}, false, kClosed, IDCANCEL},
    {"a queued message reaches dispatch or the dialog manager unseen, or out of order",
        {{0, WM_APP + 1, 0}, {IDC_TARGET_POWER, WM_APP + 2, 0}, {-1, WM_APP + 3, 0}, kCloseBox}, false,
        Pre(WM_APP + 1) + Pre(WM_APP + 2) + Pre(WM_APP + 3) + kClosed, IDCANCEL},
    {"Escape swallowed in pre-translation still closes the dialog",
        {{IDC_OPEN_PORT, WM_KEYDOWN, VK_ESCAPE}, kMarker, kCloseBox}, true,
        Pre(WM_KEYDOWN, VK_ESCAPE) + Pre(WM_APP + 4) + kClosed, IDCANCEL},
    {"Enter swallowed in pre-translation still reaches a button",
        {{IDC_OPEN_PORT, WM_KEYDOWN, VK_RETURN}, kMarker, kCloseBox}, true,
        Pre(WM_KEYDOWN, VK_RETURN) + Pre(WM_APP + 4) + kClosed, IDCANCEL},
    // Not swallowed, the key is acted on by the dialog manager, so the rows above would fail if it
    // saw keys first. (What Enter does then depends on the focus, so only Escape is shown.)
    {"control: Escape not swallowed cancels", {{IDC_OPEN_PORT, WM_KEYDOWN, VK_ESCAPE}, kMarker, kCloseBox}, false,
        Pre(WM_KEYDOWN, VK_ESCAPE) + "click 2; ", IDCANCEL},
};

TEST(ModalLoop, PreTranslatesEveryQueuedMessageFirstAndEndsOnlyOnTheCloseBox)
{
    for (const ModalCase& c : kModalCases) {
        ModalProbe probe(c.posts, c.swallow);
        EXPECT_EQ(probe.DoModal(), c.result) << c.fault << " (" << kTimedOut << ": the run did not end)";
        EXPECT_EQ(probe.log, c.log) << c.fault;
        EXPECT_EQ(probe.m_hWnd, nullptr) << "the dialog outlived its run";
    }
}

}  // namespace
