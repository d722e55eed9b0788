// Helpers shared by the unit tests: a scratch working folder per test and
// whole-file reads and writes. Portable, so that the pure modules' tests also
// run in the native sanitizer build.
#pragma once
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <string>
#include <vector>

// Makes a fresh folder under the temporary directory the working folder (and,
// on Windows, AppDir) for one test, and removes it with everything in it.
class ScratchFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path;

private:
    std::string previous_;
};

// folder and name joined with the platform's separator.
std::string JoinPath(const std::string& folder, const std::string& name);
std::string ReadWholeFile(const char* name);  // binary: CR LF stays CR LF
// The lines of launcher.log in the working folder, without their time prefixes.
std::vector<std::string> RunLogMessages();
void WriteWholeFile(const char* name, const std::string& contents);

// Bytes of a fixed pseudo-random sequence (a linear congruential generator).
std::string NoiseBytes(size_t count, uint32_t seed);
// The chunk index of these bytes and its records object, as the publisher's
// helper writes them.
std::string ChunkIndexOf(const std::string& file, std::string* records);
