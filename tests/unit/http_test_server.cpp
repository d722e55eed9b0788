// The unit tests' scripted HTTP server: a thread for each connection, closed
// after its answer (WinINet then opens the next one), so that a client that
// leaves an answer unread does not hold up the next.
#include "http_test_server.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

bool HttpTestServer::Start()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    InitializeCriticalSection(&lock_);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, (sockaddr*)&address, sizeof address) != 0 || listen(listener_, 8) != 0)
        return false;
    int length = sizeof address;
    getsockname(listener_, (sockaddr*)&address, &length);
    port_ = ntohs(address.sin_port);
    thread_ = CreateThread(NULL, 0, AcceptLoop, this, 0, NULL);
    return thread_ != NULL;
}

void HttpTestServer::Stop()
{
    closesocket(listener_);  // ends the accept loop
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    InterlockedExchange(&stopping_, 1);  // an answer the client left unread ends
    EnterCriticalSection(&lock_);
    std::vector<HANDLE> threads = connectionThreads_;
    LeaveCriticalSection(&lock_);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    DeleteCriticalSection(&lock_);
    WSACleanup();
}

std::string HttpTestServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void HttpTestServer::Serve(const std::string& path, const std::string& body, int status)
{
    EnterCriticalSection(&lock_);
    routes_[path] = TestRoute{status, body, body.size()};
    LeaveCriticalSection(&lock_);
}

void HttpTestServer::ServeTruncated(const std::string& path, const std::string& body, size_t announcedLength)
{
    EnterCriticalSection(&lock_);
    routes_[path] = TestRoute{200, body, announcedLength};
    LeaveCriticalSection(&lock_);
}

std::vector<std::string> HttpTestServer::RequestedPaths()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = requested_;
    LeaveCriticalSection(&lock_);
    return copy;
}

void HttpTestServer::ServeCut(const std::string& path, const std::string& body, size_t cutAt, int cutTimes,
                              bool ranges)
{
    TestRoute route{200, body, body.size()};
    route.cutTimes = cutTimes;
    route.cutAt = cutAt;
    route.ranges = ranges;
    EnterCriticalSection(&lock_);
    routes_[path] = route;
    LeaveCriticalSection(&lock_);
}

void HttpTestServer::ServeStalled(const std::string& path, const std::string& body, size_t cutAt, DWORD stallMs)
{
    TestRoute route{200, body, body.size()};
    route.cutTimes = 1 << 30;
    route.cutAt = cutAt;
    route.stallMs = stallMs;
    EnterCriticalSection(&lock_);
    routes_[path] = route;
    LeaveCriticalSection(&lock_);
}

void HttpTestServer::ServeRoute(const std::string& path, const TestRoute& route)
{
    EnterCriticalSection(&lock_);
    routes_[path] = route;
    LeaveCriticalSection(&lock_);
}

std::vector<std::string> HttpTestServer::RequestedRanges()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = ranges_;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::vector<std::string> HttpTestServer::RequestedCacheHeaders()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = cacheHeaders_;
    LeaveCriticalSection(&lock_);
    return copy;
}

void HttpTestServer::ForgetRequests()
{
    EnterCriticalSection(&lock_);
    requested_.clear();
    ranges_.clear();
    cacheHeaders_.clear();
    LeaveCriticalSection(&lock_);
}

size_t HttpTestServer::BodyBytesSent(const std::string& path)
{
    EnterCriticalSection(&lock_);
    size_t sent = sent_[path];
    LeaveCriticalSection(&lock_);
    return sent;
}

std::string HttpTestServer::LastUserAgent()
{
    EnterCriticalSection(&lock_);
    std::string copy = userAgent_;
    LeaveCriticalSection(&lock_);
    return copy;
}

struct ConnectionToServe {
    HttpTestServer* server;
    SOCKET connection;
};

DWORD WINAPI HttpTestServer::AcceptLoop(LPVOID self)
{
    HttpTestServer* server = (HttpTestServer*)self;
    for (;;) {
        SOCKET connection = accept(server->listener_, NULL, NULL);
        if (connection == INVALID_SOCKET)
            return 0;
        EnterCriticalSection(&server->lock_);
        HANDLE thread = CreateThread(NULL, 0, ServeConnection, new ConnectionToServe{server, connection}, 0, NULL);
        if (thread)
            server->connectionThreads_.push_back(thread);
        LeaveCriticalSection(&server->lock_);
    }
}

DWORD WINAPI HttpTestServer::ServeConnection(LPVOID context)
{
    ConnectionToServe* serve = (ConnectionToServe*)context;
    HttpTestServer* server = serve->server;
    server->Answer(serve->connection);
    closesocket(serve->connection);
    delete serve;
    return 0;
}

static std::string HeaderValue(const std::string& request, const char* name)
{
    std::string key = std::string("\r\n") + name + ": ";
    size_t at = request.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return request.substr(at, request.find("\r\n", at) - at);
}

static void SendAll(SOCKET connection, const char* data, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        int count = send(connection, data + sent, (int)(size - sent), 0);
        if (count <= 0)
            return;
        sent += (size_t)count;
    }
}

void HttpTestServer::Answer(SOCKET connection)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        int count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0)
            return;
        request.append(buffer, (size_t)count);
    }
    size_t pathStart = request.find(' ') + 1;
    std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);

    std::string range = HeaderValue(request, "Range");
    EnterCriticalSection(&lock_);
    requested_.push_back(path);
    ranges_.push_back(range);
    cacheHeaders_.push_back(HeaderValue(request, "Cache-Control") + "|" + HeaderValue(request, "Pragma"));
    userAgent_ = HeaderValue(request, "User-Agent");
    std::map<std::string, TestRoute>::iterator route = routes_.find(path);
    TestRoute answer = route != routes_.end() ? route->second : TestRoute{404, "not found", 9};
    if (route != routes_.end() && route->second.cutTimes > 0)
        route->second.cutTimes--;
    LeaveCriticalSection(&lock_);

    char head[256];
    size_t from = 0;
    size_t to = answer.body.size();  // one past the last byte sent
    char* rangeEnd = NULL;
    if (answer.ranges && range.rfind("bytes=", 0) == 0)
        from = strtoul(range.c_str() + 6, &rangeEnd, 10);
    if (rangeEnd && *rangeEnd == '-' && rangeEnd[1] >= '0' && rangeEnd[1] <= '9')
        to = std::min(to, (size_t)strtoul(rangeEnd + 1, NULL, 10) + 1);
    if (rangeEnd && from < to) {
        snprintf(head, sizeof head,
                 "HTTP/1.1 206 Partial\r\nContent-Length: %u\r\nContent-Range: bytes %u-%u/%u\r\n"
                 "Connection: close\r\n\r\n",
                 (unsigned)(to - from), (unsigned)from, (unsigned)to - 1, (unsigned)answer.body.size());
    } else if (answer.noLength) {
        from = 0;
        to = answer.body.size();
        snprintf(head, sizeof head, "HTTP/1.1 %d Test\r\nConnection: close\r\n\r\n", answer.status);
    } else {
        from = 0;
        to = answer.body.size();
        snprintf(head, sizeof head, "HTTP/1.1 %d Test\r\nContent-Length: %u\r\nConnection: close\r\n\r\n",
                 answer.status, (unsigned)answer.announcedLength);
    }
    SendAll(connection, head, strlen(head));
    std::string body = answer.body.substr(from, to - from);
    if (answer.cutTimes > 0 && answer.cutAt < body.size())
        body.resize(answer.cutAt);
    SendBody(connection, path, body, answer.dripMs);
    if (answer.stallMs)
        Sleep(answer.stallMs);
}

// 1 once the connection takes more; 0 when the server stops first.
int HttpTestServer::AwaitRoomToSend(SOCKET connection)
{
    while (!stopping_) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(connection, &writable);
        timeval pause = {0, 100000};
        if (select(0, NULL, &writable, NULL, &pause) != 0)
            return 1;
    }
    return 0;
}

// The body whole, or 10 bytes at a time dripMs apart; counts what went out.
void HttpTestServer::SendBody(SOCKET connection, const std::string& path, const std::string& body, DWORD dripMs)
{
    const size_t piece = dripMs ? 10 : 1 << 16;
    size_t sent = 0;
    EnterCriticalSection(&lock_);
    sent_[path] = 0;
    LeaveCriticalSection(&lock_);
    u_long nonBlocking = 1;
    ioctlsocket(connection, FIONBIO, &nonBlocking);  // a client that stops reading cannot hold Stop
    while (sent < body.size()) {
        int count = send(connection, body.data() + sent, (int)std::min(piece, body.size() - sent), 0);
        if (count < 0 && WSAGetLastError() == WSAEWOULDBLOCK && AwaitRoomToSend(connection))
            continue;
        if (count <= 0)
            return;
        sent += (size_t)count;
        EnterCriticalSection(&lock_);
        sent_[path] = sent;
        LeaveCriticalSection(&lock_);
        if (dripMs && sent < body.size())
            Sleep(dripMs);
    }
}
