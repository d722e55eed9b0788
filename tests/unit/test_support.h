// Helpers shared by the unit tests: a scratch working folder per test and
// whole-file reads.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

// Makes a fresh folder under the temporary directory the working folder (and
// AppDir) for one test, and removes it with everything in it afterwards.
class ScratchFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path;

private:
    char previous_[MAX_PATH];
};

std::string ReadWholeFile(const char* name);  // binary: CR LF stays CR LF
void WriteWholeFile(const char* name, const std::string& contents);
