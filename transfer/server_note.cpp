// What the calling thread's transfers found of their server: the update run
// moves a failing server to the end of its order and asks another. Each
// thread of the download phase has its own note.
#include <stdio.h>

#include "shell/shell.h"
#include "transfer/transfer.h"

static const DWORD FIRST_SERVER_ERROR = 500;
static const DWORD FIRST_REFUSING_STATUS = 400;

struct ServerNoteRecord {
    int askUnansweredAgain;
    int failed;
    int unanswered;  // the last request got no answer in time
    char reason[64];
};

static thread_local ServerNoteRecord Note = {1, 0, 0, ""};

void StartServerNote(int askUnansweredAgain)
{
    Note.askUnansweredAgain = askUnansweredAgain;
    ClearServerNote();
}

int ServerFailed(char* reason, size_t capacity)
{
    CopyCut(reason, capacity, Note.reason[0] ? Note.reason : "falhou");
    return Note.failed;
}

void ClearServerNote(void)
{
    Note.failed = 0;
    Note.unanswered = 0;
    Note.reason[0] = '\0';
}

void NoteServerUnreached(DWORD error, int unanswered)
{
    Note.failed = 1;
    Note.unanswered = unanswered;
    snprintf(Note.reason, sizeof Note.reason, unanswered ? "sem resposta, erro %lu" : "sem conexao, erro %lu",
             error);
}

void NoteServerAnswer(DWORD status, TransferEnd end)
{
    Note.unanswered = 0;
    if (status >= FIRST_REFUSING_STATUS) {
        Note.failed = status >= FIRST_SERVER_ERROR;
        snprintf(Note.reason, sizeof Note.reason, "HTTP %lu", status);
    } else if (end == TRANSFER_BROKEN) {
        Note.failed = 1;
        CopyCut(Note.reason, sizeof Note.reason, "transferencia interrompida");
    }
}

int AskAgainHere(void)
{
    return !Note.unanswered || Note.askUnansweredAgain;
}
