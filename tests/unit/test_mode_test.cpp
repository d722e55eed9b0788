// Test mode's script.
#include <stdio.h>

#include <string>
#include <vector>

#include "shell/shell.h"
#include "test_support.h"
#include "ui/ui.h"

class TestModeScript : public ::testing::Test {
protected:
    void SetUp() override { ResetStatusBoard(); }
    void TearDown() override { ReleaseStatusBoard(); }
};

struct ScriptPoint {
    float clock;
    float progress;
    const char* status;
    const char* detail;
};

TEST_F(TestModeScript, ClockPoints)
{
    const char* downloading = "data\\ost_fell_textures.pack  -  18432 of 24818 KB";
    const char* done = "TEST MODE  -  drag the mouse to move the progress";
    const ScriptPoint points[] = {
        {0.0f, 0.0f, "Downloading 3 of 12...", downloading},
        {3.9f, 0.2925f, "Downloading 3 of 12...", downloading},
        {4.0f, 0.3f, "Checking game files...", downloading},
        {7.0f, 0.3f, "Downloading 8 of 12...", downloading},
        {15.99f, 0.99922f, "Downloading 8 of 12...", downloading},
        {16.0f, 1.0f, "Updated to version 1.0.42.", done},
        {22.0f, 1.0f, "Updated to version 1.0.42.", done},
        {22.5f, 0.0f, "Updated to version 1.0.42.", done},
        {24.0f, 0.0f, "Updated to version 1.0.42.", done},
    };
    for (const ScriptPoint& p : points) {
        ApplyTestModeScript(p.clock);
        EXPECT_NEAR(StatusBoard.progress, p.progress, 1e-4) << p.clock;
        EXPECT_STREQ(StatusBoard.status, p.status) << p.clock;
        EXPECT_STREQ(StatusBoard.detail, p.detail) << p.clock;
    }
    EXPECT_EQ(GetFileAttributesA("launcher.log"), INVALID_FILE_ATTRIBUTES);  // nothing logged
}
