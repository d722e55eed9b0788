// The asynchronous road against the scripted server: what a read hands over
// and when, and what a request given up leaves behind.
#include <string>
#include <vector>

#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

class AsyncRoad : public UpdateEngineTest {
protected:
    void SetUp() override
    {
        UpdateEngineTest::SetUp();
        road = OpenInternet(USER_AGENT);
        ASSERT_NE(road, nullptr);
    }
    void TearDown() override
    {
        InternetCloseHandle(road);
        UpdateEngineTest::TearDown();
    }
    int Open(const std::string& name, ByteSource* source)
    {
        std::string url = server.BaseUrl() + name;
        return OpenSource(road, url.c_str(), CACHE_NONE, NULL, NULL, 10000, source);
    }
    // Reads until the body ends, a read fails or nothing arrives within waitMs.
    ReadStep ReadOn(ByteSource* source, std::string* body, DWORD waitMs)
    {
        for (;;) {
            const char* bytes;
            DWORD count;
            ReadStep step = ReadArrived(source, waitMs, &bytes, &count);
            if (step != READ_ARRIVED)
                return step;
            body->append(bytes, count);
        }
    }
    // Waits until WinINet has let go of every request given up, at most a few seconds.
    static int AllLetGo(void)
    {
        for (int i = 0; i < 100 && RequestsLeftBehind() > 0; i++)
            Sleep(50);
        return RequestsLeftBehind() == 0;
    }
    HINTERNET road = NULL;
};

TEST_F(AsyncRoad, ABodyArrivesWholeAndEnds)
{
    const std::string sent = PatternBytes(3000000);
    server.Serve("/a.bin", sent);
    ByteSource source;
    ASSERT_EQ(Open("a.bin", &source), 1);
    std::string body;
    EXPECT_EQ(ReadOn(&source, &body, 5000), READ_END);
    EXPECT_EQ(body, sent);
    CloseSource(&source);
    EXPECT_TRUE(AllLetGo());
}

// A read hands over what has come, however little: a drip is seen as it
// drips, not once a buffer is full.
TEST_F(AsyncRoad, ADripIsHandedOverAsItArrives)
{
    TestRoute drip{200, PatternBytes(100), 100};
    drip.dripMs = 100;
    server.ServeRoute("/a.bin", drip);
    ByteSource source;
    ASSERT_EQ(Open("a.bin", &source), 1);
    std::string body;
    int reads = 0;
    for (;;) {
        const char* bytes;
        DWORD count;
        ReadStep step = ReadArrived(&source, 1000, &bytes, &count);
        if (step != READ_ARRIVED && step != READ_NOTHING_YET)
            break;
        body.append(bytes, count);
        reads += step == READ_ARRIVED;
    }
    EXPECT_EQ(body, PatternBytes(100));
    EXPECT_GE(reads, 5);
    CloseSource(&source);
}

TEST_F(AsyncRoad, ARequestGivenUpWhileAReadIsPendingLetsTheNextOneWork)
{
    server.ServeStalled("/a.bin", PatternBytes(100000), 5000, 1500);  // then the server closes
    server.Serve("/b.bin", "the next file");
    ByteSource stalled;
    ASSERT_EQ(Open("a.bin", &stalled), 1);
    std::string body;
    EXPECT_EQ(ReadOn(&stalled, &body, 200), READ_NOTHING_YET);
    EXPECT_EQ(body.size(), 5000u);
    EXPECT_TRUE(stalled.readPending);
    CloseSource(&stalled);
    EXPECT_EQ(RequestsLeftBehind(), 1);  // WinINet still holds the read

    ByteSource next;
    ASSERT_EQ(Open("b.bin", &next), 1);
    std::string nextBody;
    EXPECT_EQ(ReadOn(&next, &nextBody, 5000), READ_END);
    EXPECT_EQ(nextBody, "the next file");
    CloseSource(&next);
    EXPECT_TRUE(AllLetGo());  // the stalled read came back when the server closed
}

// Like WinINet's synchronous reads, a body that the server cuts short ends
// without an error: only its length tells.
TEST_F(AsyncRoad, AServerClosingDuringAPendingReadEndsTheBody)
{
    server.ServeStalled("/a.bin", PatternBytes(100000), 5000, 300);
    ByteSource source;
    ASSERT_EQ(Open("a.bin", &source), 1);
    std::string body;
    EXPECT_EQ(ReadOn(&source, &body, 5000), READ_END);
    EXPECT_EQ(body, PatternBytes(5000));
    CloseSource(&source);
    EXPECT_TRUE(AllLetGo());
}

// Closing a request whose answer announces more than was read makes WinINet
// under Wine read the rest first: a large answer is cut off with its
// connection instead, however many there are, read or not.
TEST_F(AsyncRoad, AnAnswerLeftUnreadIsNotReadFurther)
{
    const size_t size = 64u << 20;
    server.Serve("/big.bin", std::string(size, 'b'));
    server.Serve("/b.bin", "the next file");
    for (int i = 0; i < 6; i++) {
        ByteSource refused;
        ASSERT_EQ(Open("big.bin", &refused), 1) << i << " " << GetLastError();
        if (i % 2) {
            const char* bytes;
            DWORD count;
            ASSERT_EQ(ReadArrived(&refused, 5000, &bytes, &count), READ_ARRIVED);
        }
        DWORD start = GetTickCount();
        CloseSource(&refused);
        EXPECT_LT(GetTickCount() - start, 1000u) << i;
    }
    EXPECT_TRUE(AllLetGo());

    ByteSource next;
    ASSERT_EQ(Open("b.bin", &next), 1);
    std::string nextBody;
    EXPECT_EQ(ReadOn(&next, &nextBody, 5000), READ_END);
    EXPECT_EQ(nextBody, "the next file");
    CloseSource(&next);
    Sleep(1000);
    EXPECT_LT(server.BodyBytesSent("/big.bin"), size / 4);
}

// Every slot taken by a request whose read WinINet holds: the next request
// fails at once; closed, they stay within the table, and once WinINet lets
// go of one a request works again.
TEST_F(AsyncRoad, RequestsLeftBehindAreBounded)
{
    server.ServeStalled("/a.bin", PatternBytes(100000), 5000, 4000);
    server.Serve("/b.bin", "the next file");
    const int free = REQUEST_SLOTS - RequestsLeftBehind();  // answers of earlier tests may stay unread
    std::vector<ByteSource> stalled(free);
    for (int i = 0; i < free; i++) {
        ASSERT_EQ(Open("a.bin", &stalled[i]), 1) << i;
        std::string body;
        EXPECT_EQ(ReadOn(&stalled[i], &body, 100), READ_NOTHING_YET) << i;
    }
    ByteSource refused;
    EXPECT_EQ(Open("b.bin", &refused), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(RunLogMessages().back(),
              "pedidos demais sem resposta do servidor; nao abro " + server.BaseUrl() + "b.bin");
    for (ByteSource& source : stalled)
        CloseSource(&source);
    EXPECT_LE(RequestsLeftBehind(), REQUEST_SLOTS);

    for (int i = 0; i < 200 && RequestsLeftBehind() == REQUEST_SLOTS; i++)
        Sleep(50);
    ByteSource next;
    ASSERT_EQ(Open("b.bin", &next), 1);
    std::string nextBody;
    EXPECT_EQ(ReadOn(&next, &nextBody, 5000), READ_END);
    CloseSource(&next);
}
