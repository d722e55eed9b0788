// The order the player and the log see while several files are fetched at
// once: the files take turns in manifest order. The file whose turn it is
// writes its log lines and shows its detail line as it goes; a file fetched
// ahead keeps its lines until its turn comes, so the log reads line for line
// as a run that fetched one file at a time. Each turn is announced on the
// status line with an ordinal that counts successful downloads plus one, and
// the bar moves by every byte received, from 0.25 to 1, and never goes back.
// Pure: the threads and their lock are the caller's, and every call here is
// made under that lock.
#pragma once
#include <stddef.h>

#include "install/install.h"

// Where the sequence goes: the status board and the run log.
struct TurnOutput {
    void (*announce)(void* context, int ordinal, int total);  // a file's turn begins
    void (*line)(void* context, const char* text);             // a log line, in its turn
    void (*detail)(void* context, const char* text);           // the detail line of the file in turn
    void (*progress)(void* context, float fraction);
    void* context;
};

// A file may be started this many files ahead of the turn per connection:
// quick files then pass a slow one for a while, each keeping its held lines.
static const int TURNS_AHEAD_PER_CONNECTION = 4;
static const int TURN_SLOTS = MOST_CONNECTIONS * TURNS_AHEAD_PER_CONNECTION;
static const size_t HELD_TEXT_CAPACITY = 4096;   // the log lines a file ahead keeps
static const size_t TURN_DETAIL_CAPACITY = 256;  // as the board's detail line

enum TurnSlotState {
    SLOT_FREE,
    SLOT_FETCHING,
    SLOT_SUCCEEDED,
    SLOT_FAILED
};

// A file between its start and the end of its turn.
struct TurnSlot {
    TurnSlotState state;
    double size;   // as listed
    double shown;  // what the bar counts of it: the most it received, its size once done
    size_t heldLength;
    char held[HELD_TEXT_CAPACITY];      // its lines written ahead of its turn, each ended by a zero
    char detail[TURN_DETAIL_CAPACITY];  // its last detail line; empty: none yet
};

struct DownloadTurns {
    int total;       // files to fetch
    int ahead;       // how far ahead of the turn a file may start
    int turn;        // the file whose turn it is; total once every file had its turn
    int started;     // files handed out
    int ordinal;     // successful downloads plus one
    int failures;
    double toFetch;   // listed bytes of every file to fetch
    double handled;   // listed bytes of the files whose turn has passed
    double received;  // what the bar counts of the files started and not yet past their turn
    float shownFraction;
    TurnOutput out;
    TurnSlot slots[TURN_SLOTS];
};

enum {
    TURN_NONE_LEFT = -1,  // every file was handed out
    TURN_WAIT = -2        // the next file would start too far ahead of the turn
};

// The first file's turn is announced at once when there is one.
void StartTurns(DownloadTurns* turns, int total, double toFetch, int connections, const TurnOutput* out);
// The index, among the files to fetch, of the file to start next, or one of
// TURN_NONE_LEFT and TURN_WAIT. TakeFile then starts it.
int NextFileToTake(const DownloadTurns* turns);
void TakeFile(DownloadTurns* turns, int file, double size);
int IsTurnOf(const DownloadTurns* turns, int file);

// A log line of a file: written in its turn, held before. 0 when a file
// ahead has no room left for it: the caller waits for the file's turn and
// passes it again.
int PassLine(DownloadTurns* turns, int file, const char* text);
void PassDetail(DownloadTurns* turns, int file, const char* text);
// Bytes of the file received so far; a file started over counts no less.
void PassReceived(DownloadTurns* turns, int file, double bytes);
// The file's fetch has ended. When it is in turn, its turn and those of any
// files after it that have ended too are over: each announces the next.
void FinishFile(DownloadTurns* turns, int file, int succeeded);
