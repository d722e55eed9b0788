// The updater window: placement, the close square, keys and the test-mode drag,
// the last ones on a real window.
#include <gtest/gtest.h>

#include "shell/shell.h"
#include "ui/ui.h"

struct PressCase {
    unsigned x, y;
    int testMode;
    PressAction expected;
};

TEST(WindowRules, CloseSquareExcludesItsRightAndBottomEdges)
{
    const PressCase cases[] = {
        {1060, 483, 0, PRESS_CLOSE},        {1085, 508, 0, PRESS_CLOSE},
        {1086, 509, 0, PRESS_MOVE_WINDOW},  {1086, 490, 0, PRESS_MOVE_WINDOW},
        {1070, 509, 0, PRESS_MOVE_WINDOW},  {1059, 490, 0, PRESS_MOVE_WINDOW},
        {1070, 482, 0, PRESS_MOVE_WINDOW},  {1070, 490, 1, PRESS_CLOSE},
        {300, 300, 1, PRESS_DRAG_PROGRESS}, {300, 300, 0, PRESS_MOVE_WINDOW},
    };
    for (const PressCase& c : cases)
        EXPECT_EQ(ClassifyPress(c.x, c.y, c.testMode), c.expected) << c.x << "," << c.y << " test " << c.testMode;
}

TEST(WindowRules, WindowIsCentredOrPinnedToTheCorner)
{
    EXPECT_EQ(WindowOrigin(1024, WINDOW_WIDTH), 0);
    EXPECT_EQ(WindowOrigin(768, WINDOW_HEIGHT), 34);
    EXPECT_EQ(WindowOrigin(1920, WINDOW_WIDTH), 400);
    EXPECT_EQ(WindowOrigin(1080, WINDOW_HEIGHT), 190);
    EXPECT_EQ(WindowOrigin(1121, WINDOW_WIDTH), 0);
}

// One real window per process: the class is registered once.
class UpdaterWindowInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        AppInstance = GetModuleHandleA(NULL);
        TestMode = 1;
        created_ = CreateUpdaterWindow();
    }
    static void TearDownTestSuite()
    {
        if (IsWindow(UpdaterWindow))
            DestroyWindow(UpdaterWindow);
        TestMode = 0;
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        }
    }
    void SetUp() override
    {
        ASSERT_TRUE(created_);
        DiscardCloseRequests();
    }
    static int DiscardCloseRequests()
    {
        int count = 0;
        MSG message;
        while (PeekMessageA(&message, UpdaterWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE))
            count++;
        return count;
    }
    static LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return UpdaterWindowProc(UpdaterWindow, message, wParam, lParam);
    }
    static int created_;
};
int UpdaterWindowInput::created_;

TEST_F(UpdaterWindowInput, IsABorderlessLayeredPopupOfTheSplashSize)
{
    EXPECT_EQ(GetWindowLongA(UpdaterWindow, GWL_STYLE) & (WS_POPUP | WS_CAPTION), (LONG)WS_POPUP);
    EXPECT_EQ(GetWindowLongA(UpdaterWindow, GWL_EXSTYLE) & 0x000C0000, 0x000C0000);
    RECT rect;
    GetWindowRect(UpdaterWindow, &rect);
    EXPECT_EQ(rect.right - rect.left, 1120);
    EXPECT_EQ(rect.bottom - rect.top, 700);
    char caption[32];
    GetWindowTextA(UpdaterWindow, caption, sizeof caption);
    EXPECT_STREQ(caption, "Quorvane");
}

TEST_F(UpdaterWindowInput, EscapeAndTheCloseSquarePostClose)
{
    EXPECT_EQ(Send(WM_KEYDOWN, VK_ESCAPE, 0), 0);
    EXPECT_EQ(DiscardCloseRequests(), 1);
    EXPECT_EQ(Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1060, 483)), 0);
    EXPECT_EQ(DiscardCloseRequests(), 1);
    EXPECT_EQ(ProgressDragActive, 0);  // a press on the square never starts a drag
}

TEST_F(UpdaterWindowInput, OtherKeysAreSwallowed)
{
    EXPECT_EQ(Send(WM_KEYDOWN, 'A', 0), 0);
    EXPECT_EQ(Send(WM_KEYDOWN, VK_RETURN, 0), 0);
    EXPECT_EQ(DiscardCloseRequests(), 0);
}

TEST_F(UpdaterWindowInput, TestModePressDragsTheProgressNotTheWindow)
{
    RECT before, after;
    GetWindowRect(UpdaterWindow, &before);
    EXPECT_EQ(Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(300, 600)), 0);
    EXPECT_EQ(ProgressDragActive, 1);
    EXPECT_EQ(GetCapture(), UpdaterWindow);
    GetWindowRect(UpdaterWindow, &after);
    EXPECT_TRUE(EqualRect(&before, &after));

    EXPECT_EQ(Send(WM_LBUTTONUP, 0, MAKELPARAM(300, 600)), 0);
    EXPECT_EQ(ProgressDragActive, 0);
    EXPECT_NE(GetCapture(), UpdaterWindow);
    EXPECT_EQ(DiscardCloseRequests(), 0);
}

TEST_F(UpdaterWindowInput, ReleaseWithoutDragKeepsAnotherCapture)
{
    SetCapture(UpdaterWindow);  // held for another reason: not ours to release
    EXPECT_EQ(Send(WM_LBUTTONUP, 0, 0), 0);
    EXPECT_EQ(GetCapture(), UpdaterWindow);
    ReleaseCapture();
}
