// Conformance of the Zstandard decoder: real files of this machine (a
// program, a text, a PNG, and a file of the real-game corpus when the
// benchmarks fetched it) compressed by Debian's zstd at every level from 1 to
// 19 and in long-distance mode, decoded byte for byte. Native only: it runs
// the zstd command.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frames/frames.h"

typedef std::vector<uint8_t> Bytes;

static const size_t MOST_BYTES = 1u << 20;  // of each file: the levels above 15 take a second a megabyte

static Bytes Output(const std::string& command)
{
    Bytes bytes;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return bytes;
    uint8_t buffer[1 << 16];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + count);
    pclose(pipe);
    return bytes;
}

static std::string FirstLine(const std::string& command)
{
    Bytes bytes = Output(command);
    std::string line(bytes.begin(), bytes.end());
    return line.substr(0, line.find('\n'));
}

struct RealFile {
    const char* what;
    std::string path;
};

static std::vector<RealFile> RealFiles(void)
{
    std::vector<RealFile> files = {
        {"a program", FirstLine("command -v zstd")},
        {"a text", FirstLine("find /usr/share -name '*.txt' -size +400k 2>/dev/null | sort | head -n 1")},
        {"a PNG", FirstLine("find /usr/share /usr/lib -name '*.png' -size +100k 2>/dev/null | sort | head -n 1")},
        {"a file of the real game", FirstLine("find '" QRV_SOURCE_DIR "/build/bench-data/corpus-stk' -type f "
                                              "-size +1M 2>/dev/null | sort | head -n 1")},
    };
    std::vector<RealFile> found;
    for (const RealFile& file : files) {
        if (!file.path.empty())
            found.push_back(file);
    }
    return found;
}

TEST(ZstdConformance, EveryLevelAndLongModeOnRealFiles)
{
    std::vector<std::string> settings;
    for (int level = 1; level <= 19; level++)
        settings.push_back("-" + std::to_string(level));
    settings.push_back("-19 --long=27");
    settings.push_back("-3 --long=27 --no-check");
    std::vector<RealFile> files = RealFiles();
    ASSERT_GE(files.size(), 3u) << "no program, text or PNG found";
    static ZstdDecoder decoder;
    SetUpZstdDecoder(&decoder);
    char cut[] = "/tmp/zstd_conformance_XXXXXX";
    int descriptor = mkstemp(cut);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    for (const RealFile& file : files) {
        Bytes original = Output("head -c " + std::to_string(MOST_BYTES) + " '" + file.path + "' | tee " + cut);
        ASSERT_FALSE(original.empty()) << file.path;
        for (size_t i = 0; i < settings.size(); i++) {
            // From the file, the frame says its content size; piped, it does not.
            std::string source = i % 2 == 0 ? std::string(" ") + cut : std::string(" < ") + cut;
            Bytes frame = Output("zstd -q -c " + settings[i] + source);
            Bytes out(original.size());
            size_t length = 0;
            ZstdResult result = DecodeZstdFrame(&decoder, frame.data(), frame.size(), out.data(), out.size(), &length);
            EXPECT_EQ(result, ZSTD_DECODED) << file.what << " " << file.path << " " << settings[i];
            EXPECT_TRUE(length == original.size() && memcmp(out.data(), original.data(), length) == 0)
                << file.what << " " << file.path << " " << settings[i];
        }
    }
    unlink(cut);
}
