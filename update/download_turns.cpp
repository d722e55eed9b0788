// Turns of the download phase: files fetched ahead hold their log lines and
// detail line until their turn, and the status line and the bar go as they
// would for one file at a time.
#include "update/download_turns.h"

#include <string.h>

#include "shell/shell_rules.h"

static TurnSlot* SlotOf(DownloadTurns* turns, int file)
{
    return &turns->slots[file % turns->ahead];
}

static void ShowProgress(DownloadTurns* turns)
{
    float fraction = DownloadProgressFraction(turns->handled, turns->received, turns->toFetch);
    if (fraction <= turns->shownFraction)
        return;
    turns->shownFraction = fraction;
    turns->out.progress(turns->out.context, fraction);
}

// Counts no less than the file already showed, and no more than it lists.
static void CountShown(DownloadTurns* turns, TurnSlot* slot, double bytes)
{
    if (bytes > slot->size)
        bytes = slot->size;
    if (bytes <= slot->shown)
        return;
    turns->received += bytes - slot->shown;
    slot->shown = bytes;
}

// The turn of the file in turn begins: the status line first, then what the
// file wrote while it was ahead.
static void BeginTurn(DownloadTurns* turns)
{
    turns->out.announce(turns->out.context, turns->ordinal, turns->total);
    if (turns->turn >= turns->started)
        return;
    TurnSlot* slot = SlotOf(turns, turns->turn);
    for (size_t at = 0; at < slot->heldLength; at += strlen(slot->held + at) + 1)
        turns->out.line(turns->out.context, slot->held + at);
    slot->heldLength = 0;
    if (slot->detail[0])
        turns->out.detail(turns->out.context, slot->detail);
}

static void EndTurns(DownloadTurns* turns)
{
    while (turns->turn < turns->started) {
        TurnSlot* slot = SlotOf(turns, turns->turn);
        if (slot->state != SLOT_SUCCEEDED && slot->state != SLOT_FAILED)
            return;
        if (slot->state == SLOT_SUCCEEDED)
            turns->ordinal++;
        else
            turns->failures++;
        turns->handled += slot->size;
        turns->received -= slot->shown;
        slot->state = SLOT_FREE;
        turns->turn++;
        if (turns->turn < turns->total)
            BeginTurn(turns);
    }
}

void StartTurns(DownloadTurns* turns, int total, double toFetch, int connections, const TurnOutput* out)
{
    if (connections < 1)
        connections = 1;
    if (connections > MOST_CONNECTIONS)
        connections = MOST_CONNECTIONS;
    turns->total = total;
    turns->ahead = connections * TURNS_AHEAD_PER_CONNECTION;
    turns->turn = 0;
    turns->started = 0;
    turns->ordinal = 1;
    turns->failures = 0;
    turns->toFetch = toFetch;
    turns->handled = 0;
    turns->received = 0;
    turns->shownFraction = 0.0f;
    turns->out = *out;
    for (int i = 0; i < TURN_SLOTS; i++)
        turns->slots[i].state = SLOT_FREE;
    if (total > 0)
        BeginTurn(turns);
}

int NextFileToTake(const DownloadTurns* turns)
{
    if (turns->started >= turns->total)
        return TURN_NONE_LEFT;
    if (turns->started - turns->turn >= turns->ahead)
        return TURN_WAIT;
    return turns->started;
}

void TakeFile(DownloadTurns* turns, int file, double size)
{
    TurnSlot* slot = SlotOf(turns, file);
    slot->state = SLOT_FETCHING;
    slot->size = size;
    slot->shown = 0;
    slot->heldLength = 0;
    slot->detail[0] = '\0';
    turns->started = file + 1;
}

int IsTurnOf(const DownloadTurns* turns, int file)
{
    return file == turns->turn;
}

int PassLine(DownloadTurns* turns, int file, const char* text)
{
    if (IsTurnOf(turns, file)) {
        turns->out.line(turns->out.context, text);
        return 1;
    }
    TurnSlot* slot = SlotOf(turns, file);
    size_t length = strlen(text) + 1;
    if (length > sizeof slot->held - slot->heldLength)
        return 0;
    memcpy(slot->held + slot->heldLength, text, length);
    slot->heldLength += length;
    return 1;
}

void PassDetail(DownloadTurns* turns, int file, const char* text)
{
    TurnSlot* slot = SlotOf(turns, file);
    CopyCut(slot->detail, sizeof slot->detail, text);
    if (IsTurnOf(turns, file))
        turns->out.detail(turns->out.context, slot->detail);
}

void PassReceived(DownloadTurns* turns, int file, double bytes)
{
    CountShown(turns, SlotOf(turns, file), bytes);
    ShowProgress(turns);
}

// A file that ended, in whatever way, counts as its whole listed size, as
// after an attempt of one file at a time.
void FinishFile(DownloadTurns* turns, int file, int succeeded)
{
    TurnSlot* slot = SlotOf(turns, file);
    slot->state = succeeded ? SLOT_SUCCEEDED : SLOT_FAILED;
    turns->received += slot->size - slot->shown;
    slot->shown = slot->size;
    ShowProgress(turns);
    EndTurns(turns);
}
