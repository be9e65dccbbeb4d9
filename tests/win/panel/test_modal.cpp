// The modal run: every queued message goes to PreTranslateMessage before the dialog manager and
// dispatch see it, the caption's close box ends the run, and a dialog that swallows Enter and
// Escape in its pre-translation is not closed by them.
#include "tests/win/panel/WinTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afx/afxwin.h"
#include "res/resource.h"

namespace {

constexpr UINT_PTR kDeadlineTimer = 77;
constexpr UINT kDeadlineMs = 10000;
constexpr int kTimedOut = -7;
constexpr UINT kMarker = WM_APP + 1;
constexpr UINT kEndFromWorker = WM_APP + 20;

DWORD WINAPI SendEndFromWorker(void* dialog)
{
    // Long enough for the freshly shown dialog to paint and go idle in its loop's wait.
    ::Sleep(300);
    ::SendMessageW(static_cast<HWND>(dialog), kEndFromWorker, 0, 0);
    return 0;
}

// One thing the modal run was seen doing, in order.
struct Event {
    enum Kind { PreTranslatedByDialog, PreTranslatedByChild, Command } kind;
    UINT message;
    WPARAM wParam;
    HWND hwnd;
};

// A message the dialog posts to itself (or to a control, or to its thread) once it is open.
struct Post {
    int controlId;  // 0: the dialog; -1: the thread
    UINT message;
    WPARAM wParam;
};

// A control that records what it is asked to pre-translate, and may keep it.
class ProbeChild : public CEdit {
public:
    BOOL PreTranslateMessage(AfxMsg* msg) override
    {
        if (msg->message >= WM_APP)
            events->push_back({Event::PreTranslatedByChild, msg->message, msg->wParam, msg->hwnd});
        return msg->message == WM_APP + 9;
    }
    std::vector<Event>* events = nullptr;
};

class ModalProbe : public CDialog {
public:
    ModalProbe(std::vector<Post> posts, bool swallowEnterAndEscape)
        : CDialog(IDD_PANEL), posts_(std::move(posts)), swallow_(swallowEnterAndEscape)
    {
        child.events = &events;
    }

    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        hwndSeen = m_hWnd;
        if (endFromWorker)
            worker = ::CreateThread(nullptr, 0, &SendEndFromWorker, m_hWnd, 0, nullptr);
        child.SubclassDlgItem(IDC_TARGET_POWER, this);
        SetTimer(kDeadlineTimer, kDeadlineMs);
        for (const Post& p : posts_) {
            if (p.controlId < 0)
                ::PostThreadMessageW(::GetCurrentThreadId(), p.message, p.wParam, 0);
            else
                ::PostMessageW(p.controlId == 0 ? m_hWnd : ::GetDlgItem(m_hWnd, p.controlId), p.message, p.wParam, 0);
        }
        return TRUE;
    }

    BOOL PreTranslateMessage(AfxMsg* msg) override
    {
        const bool key = msg->message == WM_KEYDOWN || msg->message == WM_CHAR;
        if (msg->message >= WM_APP || key || msg->message == WM_SYSCOMMAND || msg->message == WM_CLOSE)
            events.push_back({Event::PreTranslatedByDialog, msg->message, msg->wParam, msg->hwnd});
        return swallow_ && msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE);
    }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
            events.push_back({Event::Command, message, LOWORD(wParam), m_hWnd});
        return CDialog::WindowProc(message, wParam, lParam);
    }

    void OnTimer(UINT_PTR) { EndDialog(kTimedOut); }
    LRESULT OnEndFromWorker(WPARAM, LPARAM)
    {
        EndDialog(IDOK);
        return 0;
    }

    // Another thread that ends the run with a message it sends (not posts) to the dialog.
    HANDLE worker = nullptr;
    bool endFromWorker = false;

    bool Saw(Event::Kind kind, UINT message, WPARAM wParam) const
    {
        for (const Event& e : events)
            if (e.kind == kind && e.message == message && e.wParam == wParam)
                return true;
        return false;
    }

    std::vector<Event> events;
    ProbeChild child;
    HWND hwndSeen = nullptr;

private:
    std::vector<Post> posts_;
    bool swallow_;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ModalProbe, CDialog)
    ON_WM_TIMER()
    ON_MESSAGE(kEndFromWorker, &ModalProbe::OnEndFromWorker)
END_MESSAGE_MAP()

std::vector<UINT> MarkersSeen(const ModalProbe& probe, Event::Kind kind)
{
    std::vector<UINT> seen;
    for (const Event& e : probe.events)
        if (e.kind == kind && e.message >= WM_APP)
            seen.push_back(e.message);
    return seen;
}

const Post kCloseBox{0, WM_SYSCOMMAND, SC_CLOSE};

TEST(ModalLoop, GivesEveryQueuedMessageToPreTranslateMessageFirst)
{
    // Catches: a loop that dispatches (or lets the dialog manager take) messages unseen, which
    // would hide Enter, Escape and the step buttons' press and release from the panel.
    ModalProbe probe({{0, WM_APP + 2, 0},
                      {IDC_TARGET_POWER, WM_APP + 3, 0},
                      {IDC_OPEN_PORT, WM_APP + 4, 0},
                      {-1, WM_APP + 5, 0},
                      {IDC_TARGET_POWER, WM_APP + 9, 0},
                      kCloseBox},
                     false);
    EXPECT_EQ(probe.DoModal(), IDCANCEL);
    EXPECT_EQ(MarkersSeen(probe, Event::PreTranslatedByDialog),
              (std::vector<UINT>{WM_APP + 2, WM_APP + 3, WM_APP + 4, WM_APP + 5}))
        << "the control's own pre-translation kept WM_APP+9";
    EXPECT_EQ(MarkersSeen(probe, Event::PreTranslatedByChild), (std::vector<UINT>{WM_APP + 3, WM_APP + 9}))
        << "a bound control is asked before its dialog, and only for its own messages";
    EXPECT_TRUE(probe.Saw(Event::PreTranslatedByDialog, WM_SYSCOMMAND, SC_CLOSE));
}

struct CloseCase {
    const char* how;
    Post post;
};

const CloseCase kCloseCases[] = {
    {"close box (WM_SYSCOMMAND SC_CLOSE)", kCloseBox},
    {"WM_CLOSE", {0, WM_CLOSE, 0}},
};

TEST(ModalLoop, TheCloseBoxEndsTheRunAndDestroysTheDialog)
{
    for (const CloseCase& c : kCloseCases) {
        SCOPED_TRACE(c.how);
        ModalProbe probe({c.post}, true);
        EXPECT_EQ(probe.DoModal(), IDCANCEL) << "the run did not end (" << kTimedOut << " is the deadline)";
        EXPECT_TRUE(probe.Saw(Event::Command, WM_COMMAND, IDCANCEL));
        EXPECT_EQ(probe.m_hWnd, nullptr);
        EXPECT_FALSE(::IsWindow(probe.hwndSeen));
    }
}

struct KeyCase {
    const char* fault;
    WPARAM key;
    bool swallow;
};

const KeyCase kKeyCases[] = {
    {"Escape swallowed in pre-translation still closes the dialog", VK_ESCAPE, true},
    {"Enter swallowed in pre-translation still reaches a button or OnOK", VK_RETURN, true},
    // The same keys not swallowed: the dialog manager acts on them (a command), which shows the
    // rows above would fail if the loop gave keys to it before PreTranslateMessage.
    {"control: Escape not swallowed gives no command", VK_ESCAPE, false},
    {"control: Enter not swallowed gives no command", VK_RETURN, false},
};

// Whether a click command arrived before the close box's own request.
bool CommandFromKey(const ModalProbe& probe)
{
    for (const Event& e : probe.events) {
        if (e.kind == Event::PreTranslatedByDialog && e.message == WM_SYSCOMMAND)
            return false;
        if (e.kind == Event::Command)
            return true;
    }
    return false;
}

TEST(ModalLoop, EnterAndEscapeSwallowedInPreTranslationDoNothing)
{
    for (const KeyCase& c : kKeyCases) {
        SCOPED_TRACE(c.fault);
        ModalProbe probe({{IDC_OPEN_PORT, WM_KEYDOWN, c.key}, {0, kMarker, 0}, kCloseBox}, c.swallow);
        const INT_PTR result = probe.DoModal();
        ASSERT_NE(result, kTimedOut) << "the run did not end";
        EXPECT_TRUE(probe.Saw(Event::PreTranslatedByDialog, WM_KEYDOWN, c.key));
        EXPECT_EQ(CommandFromKey(probe), !c.swallow);
        if (c.swallow) {
            EXPECT_TRUE(probe.Saw(Event::PreTranslatedByDialog, kMarker, 0)) << "the run ended on the key";
            EXPECT_EQ(result, IDCANCEL);
        }
    }
}

TEST(ModalLoop, EndDialogFromAMessageSentByAnotherThreadEndsTheRunAtOnce)
{
    // Catches: a loop that keeps waiting for a posted message after a sent one ended it; the
    // deadline timer would end it with its own result instead.
    ModalProbe probe({}, false);
    probe.endFromWorker = true;
    EXPECT_EQ(probe.DoModal(), IDOK);
    ASSERT_NE(probe.worker, nullptr);
    EXPECT_EQ(::WaitForSingleObject(probe.worker, kDeadlineMs), WAIT_OBJECT_0);
    ::CloseHandle(probe.worker);
}

}  // namespace
