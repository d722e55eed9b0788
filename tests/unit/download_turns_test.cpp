// Turns of the download phase: what the status line, the detail line, the log
// and the bar show while files are fetched ahead of their turn.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "update/download_turns.h"

static void RecordAnnounce(void* trace, int ordinal, int total)
{
    char text[64];
    snprintf(text, sizeof text, "Downloading %d of %d...", ordinal, total);
    ((std::vector<std::string>*)trace)->push_back(text);
}

static void RecordLine(void* trace, const char* text)
{
    ((std::vector<std::string>*)trace)->push_back(std::string("log ") + text);
}

static void RecordDetail(void* trace, const char* text)
{
    ((std::vector<std::string>*)trace)->push_back(std::string("detail ") + text);
}

static void RecordProgress(void* trace, float fraction)
{
    char text[32];
    snprintf(text, sizeof text, "bar %.4f", fraction);
    ((std::vector<std::string>*)trace)->push_back(text);
}

// One call of a fetch thread, as the threads' lock lets them through.
struct TurnStep {
    char what;  // t take, w must wait, n none left, l line, h line with no room, d detail, r received, s succeeded, f failed
    int file;
    std::string text;
    double bytes;
};

struct TurnCase {
    const char* name;
    int connections;
    std::vector<double> sizes;
    std::vector<TurnStep> steps;
    std::vector<std::string> shown;  // in order
    int failures;
};

static void Play(DownloadTurns* turns, const TurnCase& c, const TurnStep& step)
{
    switch (step.what) {
    case 't':
        ASSERT_EQ(NextFileToTake(turns), step.file) << c.name;
        TakeFile(turns, step.file, c.sizes[(size_t)step.file]);
        break;
    case 'w':
        EXPECT_EQ(NextFileToTake(turns), TURN_WAIT) << c.name;
        break;
    case 'n':
        EXPECT_EQ(NextFileToTake(turns), TURN_NONE_LEFT) << c.name;
        break;
    case 'l':
    case 'h':
        EXPECT_EQ(PassLine(turns, step.file, step.text.c_str()), step.what == 'l') << c.name << ": " << step.text;
        break;
    case 'd':
        PassDetail(turns, step.file, step.text.c_str());
        break;
    case 'r':
        PassReceived(turns, step.file, step.bytes);
        break;
    default:
        FinishFile(turns, step.file, step.what == 's');
    }
}

TEST(DownloadTurns, ShowTheSequenceOfOneFileAtATime)
{
    static DownloadTurns turns;  // large: the held lines of every file ahead
    const std::string longLine(HELD_TEXT_CAPACITY - 100, 'x');
    const std::string nextLine(200, 'y');
    const TurnCase cases[] = {
        {"one connection: each file in its turn",
         1,
         {100, 300},
         {{'t', 0, "", 0}, {'r', 0, "", 100}, {'l', 0, "retomando a", 0}, {'s', 0, "", 0}, {'t', 1, "", 0},
          {'l', 1, "HTTP 404 em b", 0}, {'l', 1, "falhou: b", 0}, {'f', 1, "", 0}, {'n', 0, "", 0}},
         {"Downloading 1 of 2...", "bar 0.4375", "log retomando a", "Downloading 2 of 2...", "log HTTP 404 em b",
          "log falhou: b", "bar 1.0000"},
         1},
        {"lines of a file ahead wait for its turn; a failure keeps the number",
         2,
         {100, 100, 100},
         {{'t', 0, "", 0}, {'t', 1, "", 0}, {'l', 1, "HTTP 404 em b", 0}, {'l', 1, "falhou: b", 0}, {'f', 1, "", 0},
          {'l', 0, "retomando a", 0}, {'s', 0, "", 0}, {'t', 2, "", 0}, {'s', 2, "", 0}},
         {"Downloading 1 of 3...", "bar 0.5000", "log retomando a", "bar 0.7500", "Downloading 2 of 3...",
          "log HTTP 404 em b", "log falhou: b", "Downloading 2 of 3...", "bar 1.0000"},
         1},
        {"the detail line follows the file in turn; the bar every byte",
         2,
         {1024, 2048},
         {{'t', 0, "", 0}, {'t', 1, "", 0}, {'d', 1, "b  -  1 of 2 KB", 0}, {'r', 1, "", 1024},
          {'d', 0, "a  -  1 of 1 KB", 0}, {'r', 0, "", 1024}, {'s', 0, "", 0}, {'s', 1, "", 0}},
         {"Downloading 1 of 2...", "bar 0.5000", "detail a  -  1 of 1 KB", "bar 0.7500", "Downloading 2 of 2...",
          "detail b  -  1 of 2 KB", "bar 1.0000"},
         0},
        {"the bar never goes back and counts no more than a file lists",
         1,
         {400},
         {{'t', 0, "", 0}, {'r', 0, "", 300}, {'r', 0, "", 100}, {'r', 0, "", 500}, {'s', 0, "", 0}},
         {"Downloading 1 of 1...", "bar 0.8125", "bar 1.0000"},
         0},
        {"files start at most four a connection ahead of the turn",
         1,
         {0, 0, 0, 0, 0},
         {{'t', 0, "", 0}, {'t', 1, "", 0}, {'t', 2, "", 0}, {'t', 3, "", 0}, {'w', 0, "", 0}, {'s', 1, "", 0},
          {'w', 0, "", 0}, {'s', 0, "", 0}, {'t', 4, "", 0}, {'n', 0, "", 0}, {'s', 2, "", 0}, {'s', 3, "", 0},
          {'s', 4, "", 0}},
         {"Downloading 1 of 5...", "bar 1.0000", "Downloading 2 of 5...", "Downloading 3 of 5...",
          "Downloading 4 of 5...", "Downloading 5 of 5..."},
         0},
        {"a file ahead whose held lines are full writes the rest in its turn",
         2,
         {0, 0},
         {{'t', 0, "", 0}, {'t', 1, "", 0}, {'l', 1, longLine, 0}, {'h', 1, nextLine, 0}, {'s', 0, "", 0},
          {'l', 1, nextLine, 0}, {'s', 1, "", 0}},
         {"Downloading 1 of 2...", "bar 1.0000", "Downloading 2 of 2...", "log " + longLine, "log " + nextLine},
         0},
        {"files that ended ahead end their turns one after the other",
         4,
         {100, 100, 200},
         {{'t', 0, "", 0}, {'t', 1, "", 0}, {'t', 2, "", 0}, {'l', 2, "retomando c", 0}, {'s', 2, "", 0},
          {'l', 1, "hash nao confere em b", 0}, {'l', 1, "falhou: b", 0}, {'f', 1, "", 0}, {'s', 0, "", 0}},
         {"Downloading 1 of 3...", "bar 0.6250", "bar 0.8125", "bar 1.0000", "Downloading 2 of 3...",
          "log hash nao confere em b", "log falhou: b", "Downloading 2 of 3...", "log retomando c"},
         1},
    };
    for (const TurnCase& c : cases) {
        std::vector<std::string> trace;
        double toFetch = 0;
        for (double size : c.sizes)
            toFetch += size;
        TurnOutput out = {RecordAnnounce, RecordLine, RecordDetail, RecordProgress, &trace};
        StartTurns(&turns, (int)c.sizes.size(), toFetch, c.connections, &out);
        for (const TurnStep& step : c.steps)
            Play(&turns, c, step);
        EXPECT_EQ(trace, c.shown) << c.name;
        EXPECT_EQ(turns.failures, c.failures) << c.name;
        EXPECT_EQ(turns.turn, (int)c.sizes.size()) << c.name << ": every file had its turn";
    }
}
