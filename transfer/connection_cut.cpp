// An answer the launcher stops reading is cut off with its connection.
// Closing a request whose answer has a length (or comes in chunks) makes
// WinINet under Wine read the rest first, to keep the connection for the next
// request: hundreds of megabytes from a misdirected answer, and for ever from
// a server that never ends. WinINet offers no call that closes a connection
// unread, but it reads through ws2_32's recv, which this file watches in
// WinINet's import table: every read of a connection given up fails at once,
// WinINet then closes that connection instead of keeping it, and the server
// sees it end. Where the watch cannot be set (a WinINet that reads another
// way), closing does what WinINet makes of it.
#include <winsock2.h>

#include "transfer/transfer.h"

typedef int(WINAPI* RecvCall)(SOCKET, char*, int, int);
typedef int(WINAPI* CloseSocketCall)(SOCKET);

static RecvCall RealRecv;
static CloseSocketCall RealCloseSocket;
static volatile LONG Watching;  // 1 once the watch was tried

// Where the calling thread's next read notes the connection of the request
// that awaits its answer; a request notes one connection, never another.
static thread_local volatile UINT_PTR* SeenSocket;
// The calling thread closes a request given up: its reads fail.
static thread_local int CuttingOff;

// Connections given up whose last read may still come on WinINet's own
// threads (a read pending when the request was closed); each is forgotten
// when WinINet closes it, so a later socket of the same number is untouched.
static const int MOST_CUT_SOCKETS = REQUEST_SLOTS;
static volatile UINT_PTR CutSockets[MOST_CUT_SOCKETS];

static int IsCut(SOCKET socket)
{
    for (int i = 0; i < MOST_CUT_SOCKETS; i++) {
        if (CutSockets[i] == socket)
            return 1;
    }
    return 0;
}

static void Forget(SOCKET socket)
{
    for (int i = 0; i < MOST_CUT_SOCKETS; i++)
        InterlockedCompareExchangePointer((PVOID volatile*)&CutSockets[i], NULL, (PVOID)socket);
}

static int WINAPI WatchedRecv(SOCKET socket, char* bytes, int length, int flags)
{
    if (SeenSocket && *SeenSocket == 0)
        *SeenSocket = socket;  // the first read after its answer was awaited: the request's own
    if (CuttingOff || IsCut(socket)) {
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    return RealRecv(socket, bytes, length, flags);
}

static int WINAPI WatchedCloseSocket(SOCKET socket)
{
    Forget(socket);
    return RealCloseSocket(socket);
}

// The slot in module's import table through which it calls target; NULL when
// it imports target otherwise, or not at all.
static void** ImportSlot(HMODULE module, const char* dll, FARPROC target)
{
    BYTE* base = (BYTE*)module;
    const IMAGE_NT_HEADERS* headers = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* imports = &headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports->VirtualAddress == 0)
        return NULL;
    for (const IMAGE_IMPORT_DESCRIPTOR* from = (const IMAGE_IMPORT_DESCRIPTOR*)(base + imports->VirtualAddress);
         from->Name; from++) {
        if (lstrcmpiA((const char*)(base + from->Name), dll) != 0)
            continue;
        for (IMAGE_THUNK_DATA* thunk = (IMAGE_THUNK_DATA*)(base + from->FirstThunk); thunk->u1.Function; thunk++) {
            if ((FARPROC)thunk->u1.Function == target)
                return (void**)&thunk->u1.Function;
        }
    }
    return NULL;
}

static int Redirect(void** slot, void* to)
{
    DWORD protection;
    if (!slot || !VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection))
        return 0;
    InterlockedExchangePointer(slot, to);
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return 1;
}

void WatchAnswerReads(void)
{
    if (InterlockedExchange(&Watching, 1))
        return;
    HMODULE wininet = GetModuleHandleA("wininet.dll");
    HMODULE sockets = GetModuleHandleA("ws2_32.dll");
    if (!wininet || !sockets)
        return;
    FARPROC recvCall = GetProcAddress(sockets, "recv");
    FARPROC closeCall = GetProcAddress(sockets, "closesocket");
    void** recvSlot = ImportSlot(wininet, "ws2_32.dll", recvCall);
    void** closeSlot = ImportSlot(wininet, "ws2_32.dll", closeCall);
    if (!recvCall || !closeCall || !recvSlot || !closeSlot)
        return;
    RealRecv = (RecvCall)(void*)recvCall;
    RealCloseSocket = (CloseSocketCall)(void*)closeCall;
    // closesocket first: a connection is forgotten before any read can fail for it.
    if (Redirect(closeSlot, (void*)WatchedCloseSocket))
        Redirect(recvSlot, (void*)WatchedRecv);
}

void NoteConnectionOf(volatile UINT_PTR* socket)
{
    SeenSocket = socket;
}

void BeginCutOff(UINT_PTR socket)
{
    CuttingOff = 1;
    if (socket == 0)
        return;
    for (int i = 0; i < MOST_CUT_SOCKETS; i++) {
        if (InterlockedCompareExchangePointer((PVOID volatile*)&CutSockets[i], (PVOID)socket, NULL) == NULL)
            return;
    }
}

void EndCutOff(void)
{
    CuttingOff = 0;
}
