// Shared set-up of the update engine's tests: a scratch game folder, a fresh
// status board whose every change is recorded, the scripted HTTP server, and
// URL_BASE pointing at it.
#pragma once
#include <string>
#include <vector>

#include "http_test_server.h"
#include "test_support.h"

struct BoardState {
    float progress;
    std::string status;
    std::string detail;
};

// Every change of the board, in order, while an update engine test runs.
extern std::vector<BoardState> BoardHistory;

class UpdateEngineTest : public ScratchFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    HttpTestServer server;
    void* internet = nullptr;  // HINTERNET for the DownloadFile tests

    std::vector<float> ProgressWhileStatus(const std::string& status);
    bool SawDetail(const std::string& detail);
};

// Bytes of a fixed pattern whose SHA-256 the tests know from elsewhere.
std::string PatternBytes(size_t count);
std::string Sha256Of(const std::string& bytes);  // through a file and ComputeFileDigest
