// A scripted HTTP/1.1 server on 127.0.0.1 for the unit tests: serves bodies by
// path, answers 404 for anything else, can announce more bytes than it sends,
// and records every request path and user agent, and how much of each body
// went out.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct TestRoute {
    int status;
    std::string body;
    size_t announcedLength;  // Content-Length sent; the body may be shorter
    int cutTimes = 0;        // the first answers stop after cutAt bytes of what they announce
    size_t cutAt = 0;
    bool ranges = false;     // answers "Range: bytes=N-" with 206 and the rest
    DWORD stallMs = 0;       // after cutAt bytes, waits this long before closing
    bool noLength = false;   // no Content-Length: the body ends when the connection closes
    DWORD dripMs = 0;        // sends the body 10 bytes at a time, this far apart
};

class HttpTestServer {
public:
    bool Start();
    void Stop();
    std::string BaseUrl() const;  // "http://127.0.0.1:<port>/"

    void Serve(const std::string& path, const std::string& body, int status = 200);
    void ServeTruncated(const std::string& path, const std::string& body, size_t announcedLength);
    // The first cutTimes answers break off after cutAt bytes of their body.
    void ServeCut(const std::string& path, const std::string& body, size_t cutAt, int cutTimes, bool ranges);
    // Every answer sends cutAt bytes, then stalls for stallMs.
    void ServeStalled(const std::string& path, const std::string& body, size_t cutAt, DWORD stallMs);
    // Any route, as given.
    void ServeRoute(const std::string& path, const TestRoute& route);

    std::vector<std::string> RequestedPaths();
    std::vector<std::string> RequestedRanges();
    // "Cache-Control|Pragma" as each request sent them ("|" when neither).
    std::vector<std::string> RequestedCacheHeaders();
    void ForgetRequests();  // the Range header of each request, "" for none
    std::string LastUserAgent();
    // Body bytes of the last answer to path that went out so far (into the
    // connection's buffers: a client that stops reading still takes in a few
    // MB before the server's sending stops).
    size_t BodyBytesSent(const std::string& path);

private:
    static DWORD WINAPI AcceptLoop(LPVOID self);
    static DWORD WINAPI ServeConnection(LPVOID context);
    void Answer(SOCKET connection);
    int AwaitRoomToSend(SOCKET connection);
    void SendBody(SOCKET connection, const std::string& path, const std::string& body, DWORD dripMs);

    SOCKET listener_ = INVALID_SOCKET;
    HANDLE thread_ = NULL;
    int port_ = 0;
    CRITICAL_SECTION lock_;
    std::map<std::string, TestRoute> routes_;
    std::vector<std::string> requested_;
    std::vector<std::string> ranges_;
    std::vector<std::string> cacheHeaders_;
    std::string userAgent_;
    std::map<std::string, size_t> sent_;
    std::vector<HANDLE> connectionThreads_;
    volatile LONG stopping_ = 0;
};
