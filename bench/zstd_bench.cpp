// Benchmark of DecodeZstdFrame: real data compressed by zstd -19, once as a
// whole-file frame and once as frames of a fixed size (as a frame index
// cuts a file), decoded again and again on one core; prints megabytes of
// output a second. zstd_bench.py prepares the data and measures zstd -d on
// the same frames, the peer. Builds for Windows and natively. Times are the
// thread's processor time.
//   zstd_bench ORIGINAL WHOLE_FRAME PIECES PIECES_INDEX
// PIECES holds the frames one after another; PIECES_INDEX a line per frame:
// its compressed and decoded lengths.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "frames/frames.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

static const double MEASURE_SECONDS = 2.0;
static const int MOST_ROUNDS = 50;

typedef std::vector<uint8_t> Bytes;

struct Piece {
    size_t compressed, decoded;
};

// The processor time of this thread: the machine is shared, and a figure
// per core must not count the time others took.
static double ThreadSeconds(void)
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
#else
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
#endif
}

static Bytes ReadAll(const char* path)
{
    Bytes bytes;
    FILE* file = fopen(path, "rb");
    if (!file)
        return bytes;
    uint8_t buffer[1 << 16];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + count);
    fclose(file);
    return bytes;
}

static std::vector<Piece> ReadIndex(const char* path)
{
    std::vector<Piece> pieces;
    FILE* file = fopen(path, "r");
    if (!file)
        return pieces;
    unsigned long long compressed, decoded;
    while (fscanf(file, "%llu %llu", &compressed, &decoded) == 2)
        pieces.push_back({(size_t)compressed, (size_t)decoded});
    fclose(file);
    return pieces;
}

// Decodes every piece into its place in out; 0 when one fails.
static int DecodeAll(ZstdDecoder* decoder, const Bytes& frames, const std::vector<Piece>& pieces, Bytes* out)
{
    size_t in = 0, at = 0;
    for (const Piece& piece : pieces) {
        size_t length = 0;
        if (DecodeZstdFrame(decoder, frames.data() + in, piece.compressed, out->data() + at, piece.decoded,
                            &length) != ZSTD_DECODED || length != piece.decoded)
            return 0;
        in += piece.compressed;
        at += piece.decoded;
    }
    return 1;
}

static int Measure(const char* what, ZstdDecoder* decoder, const Bytes& frames, const std::vector<Piece>& pieces,
                   const Bytes& original)
{
    Bytes out(original.size());
    if (!DecodeAll(decoder, frames, pieces, &out) || out != original) {
        printf("%s: decoded bytes differ from the original\n", what);
        return 0;
    }
    double best = 1e30, total = 0;
    int rounds = 0;
    while (rounds < MOST_ROUNDS && total < MEASURE_SECONDS) {
        double start = ThreadSeconds();
        DecodeAll(decoder, frames, pieces, &out);
        double seconds = ThreadSeconds() - start;
        best = seconds < best ? seconds : best;
        total += seconds;
        rounds++;
    }
    double megabytes = (double)original.size() / (1 << 20);
    printf("  %-34s %8.0f MB/s best, %8.0f MB/s mean of %d rounds (%d frames, ratio %.3f)\n", what,
           megabytes / best, megabytes * rounds / total, rounds, (int)pieces.size(),
           (double)frames.size() / (double)original.size());
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: zstd_bench ORIGINAL WHOLE_FRAME PIECES PIECES_INDEX\n");
        return 2;
    }
    Bytes original = ReadAll(argv[1]), whole = ReadAll(argv[2]), pieces = ReadAll(argv[3]);
    std::vector<Piece> index = ReadIndex(argv[4]);
    ZstdDecoder* decoder = (ZstdDecoder*)malloc(sizeof(ZstdDecoder));
    if (original.empty() || whole.empty() || index.empty() || !decoder) {
        fprintf(stderr, "zstd_bench: missing data\n");
        return 1;
    }
    SetUpZstdDecoder(decoder);
    printf("DecodeZstdFrame on %.1f MB (%d-bit build), one core:\n", (double)original.size() / (1 << 20),
           (int)sizeof(void*) * 8);
    std::vector<Piece> one = {{whole.size(), original.size()}};
    int good = Measure("one frame of the whole", decoder, whole, one, original) &&
               Measure("frames of the index's size", decoder, pieces, index, original);
    free(decoder);
    return good ? 0 : 1;
}
