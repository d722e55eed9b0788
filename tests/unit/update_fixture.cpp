// The update engine's test fixture.
#include "update_fixture.h"

#include <wininet.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"

std::vector<BoardState> BoardHistory;

static void RecordBoard(void)
{
    BoardHistory.push_back(BoardState{StatusBoard.progress, StatusBoard.status, StatusBoard.detail});
}

void UpdateEngineTest::SetUp()
{
    ScratchFolderTest::SetUp();
    RestoreDefaultLauncherConfig();
    ResetStatusBoard();
    BytesToFetch = 0;
    BytesHandled = 0;
    BoardHistory.clear();
    WatchBoard = RecordBoard;
    ASSERT_TRUE(server.Start());
    snprintf(LauncherConfig.baseUrl, sizeof LauncherConfig.baseUrl, "%s", server.BaseUrl().c_str());
    // Short pauses between attempts and a short wait for a stalled body keep
    // the retry cases fast; the rules are the launcher's.
    TransferPolicy = DEFAULT_TRANSFER_POLICY;
    TransferPolicy.receiveTimeoutMs = 1500;
    TransferPolicy.retryPausesMs[0] = TransferPolicy.retryPausesMs[1] = 10;
    internet = OpenInternet(USER_AGENT);
    ASSERT_NE(internet, nullptr);
    ApplyTransferTimeouts(internet);
}

void UpdateEngineTest::TearDown()
{
    if (internet)
        InternetCloseHandle(internet);
    server.Stop();
    WatchBoard = NULL;
    TransferPolicy = DEFAULT_TRANSFER_POLICY;
    ResetPlatformCalls();
    ReleaseStatusBoard();
    RestoreDefaultLauncherConfig();
    ScratchFolderTest::TearDown();
}

std::vector<float> UpdateEngineTest::ProgressWhileStatus(const std::string& status)
{
    std::vector<float> values;
    for (const BoardState& state : BoardHistory) {
        if (state.status == status && (values.empty() || values.back() != state.progress))
            values.push_back(state.progress);
    }
    return values;
}

bool UpdateEngineTest::SawDetail(const std::string& detail)
{
    for (const BoardState& state : BoardHistory) {
        if (state.detail == detail)
            return true;
    }
    return false;
}

std::string PatternBytes(size_t count)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; i++)
        bytes[i] = (char)((i * 7 + (i >> 8) * 13 + 1) & 0xFF);
    return bytes;
}

std::string Sha256Of(const std::string& bytes)
{
    WriteWholeFile("digest_source.bin", bytes);
    char digest[65];
    ComputeFileDigest("digest_source.bin", digest);
    DeleteFileA("digest_source.bin");
    return digest;
}
