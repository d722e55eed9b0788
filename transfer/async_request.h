// Requests on WinINet's asynchronous road. The thread that drives a transfer
// never waits on the network longer than it asks (a second at a time at
// most); a read hands over whatever has arrived, however little; and a
// request given up is let go without WinINet reading its answer on, and
// without any report of WinINet's reaching memory that has gone.
#pragma once
#include <windows.h>
#include <wininet.h>

// What one read can hand over. Measured under Wine on loopback (update_bench
// read, 256 MB from nginx): 32 KB reads moved about 500 MB/s, 64 KB about
// 900, 128 KB about 1 100, 256 KB about 1 500, 512 KB about 1 700 MB/s.
static const DWORD ASYNC_READ_BYTES = 256 * 1024;
// No single wait on WinINet is longer.
static const DWORD LONGEST_WAIT_MS = 1000;

// Requests whose WinINet state may outlive them: closed while a read was
// still with WinINet (its buffer stays WinINet's until WinINet lets go of the
// request), or left unread (see CloseAsyncRequest). With the one request in
// use, a process never holds more; a request asked beyond that fails at once.
static const int REQUEST_SLOTS = 12;
// Of those, answers left unread; beyond this many an unread answer is closed
// (and WinINet under Wine may read it to its end first).
static const int MOST_UNREAD_ANSWERS = 4;

// The run's internet handle: asynchronous, with the status callback that
// wakes the waiting thread. NULL on failure (GetLastError says why).
HINTERNET OpenAsyncInternet(const char* userAgent);
// Closes it, unless an answer left unread stands under it (closing the handle
// would close that answer too, and WinINet would read it to its end first):
// then both stay open until the process ends, which lets them go at once.
void CloseAsyncInternet(HINTERNET internet);

struct RequestSlot;  // where WinINet reports on one request

// One request in use, owned by the thread that drives it.
struct AsyncRequest {
    HINTERNET internet;
    HINTERNET connection;
    HINTERNET request;  // its status and headers can be read with HttpQueryInfoA
    RequestSlot* slot;
    int readPending;       // a read went to WinINet's thread and has not come back
    int ended;             // the body was read to its end
    int announced;         // the answer carries a Content-Length,
    ULONGLONG length;      // this one
    int chunked;           // or its body comes in chunks
    ULONGLONG received;    // body bytes handed over so far
};

// A GET of url with extra headers ("" for none) and WinINet's request flags;
// waits for the answer's headers at most giveUpMs in all. 1: the request is
// open. 0: nothing is left for the caller to close, and GetLastError says
// why (ERROR_INTERNET_TIMEOUT when the wait ran out).
int OpenAsyncRequest(HINTERNET internet, const char* url, const char* headers, DWORD flags, DWORD giveUpMs,
                     AsyncRequest* request);

enum ReadStep {
    READ_ARRIVED,      // *count bytes at *bytes, good until the next call
    READ_NOTHING_YET,  // nothing arrived within the wait; the read stays with WinINet
    READ_END,          // the body ended (a server that closes early ends it too)
    READ_FAILED        // GetLastError says why
};
// Whatever has arrived of the body, up to ASYNC_READ_BYTES, waiting for it at
// most waitMs.
ReadStep ReadWhatArrived(AsyncRequest* request, DWORD waitMs, const char** bytes, DWORD* count);

// Lets the request go, within milliseconds. An answer left unread is never
// read further: WinINet under Wine reads an answer with a length, or in
// chunks, to its end when its request is closed (to keep the connection), so
// one with more than a little left stays open, unread, until the process
// ends; the server's sending stops as soon as the connection's buffers fill.
void CloseAsyncRequest(AsyncRequest* request);

// How many requests' WinINet state outlives them now.
int RequestsLeftBehind(void);
