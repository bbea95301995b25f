// Basalt's socket wrapper on real loopback connections.
#include "TcpSupport.h"

#include <cstring>

namespace {

using basalt::CWSASocket;

struct Pair {
    CWSASocket client;
    CWSASocket server;
};

// A connected pair: a listener on a free loopback port, a blocking connect, an accept.
Pair Connect() {
    CWSASocket listener;
    unsigned short port = tcptest::ListenOnLoopback(listener, 1);
    EXPECT_NE(port, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    Pair pair;
    pair.client.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    pair.client.ConnectLL(reinterpret_cast<sockaddr*>(&address), sizeof address);
    pair.server = listener.AcceptLL();
    return pair;
}

void SendAll(CWSASocket& socket, const std::string& data) {
    basalt::COverlapped record;
    DWORD sent = 0;
    if (!socket.Send(data.data(), static_cast<DWORD>(data.size()), sent, record))
        socket.GetOverlappedResult(record, sent, true);
    ASSERT_EQ(sent, data.size());
}

using tcptest::Caught;
using basalt::CWinException;

TEST(IsValidIP, AcceptsOnlyFourDecimalPartsUpTo255) {
    for (const wchar_t* good : {L"127.0.0.1", L"0.0.0.0", L"255.255.255.255", L"192.168.1.10", L"10.0.99.9"})
        EXPECT_TRUE(basalt::IsValidIP(good)) << basalt::ustring(good).ToCodePage(CP_UTF8);
    for (const wchar_t* bad : {L"", L"1.2.3", L"1.2.3.4.5", L"256.1.1.1", L"1..2.3", L"a.b.c.d", L" 1.2.3.4",
                               L"1.2.3.4 ", L"1.2.3.4.", L".1.2.3", L"localhost", L"1234.1.1.1", L"1.2.3.-4",
                               L"0x7f.0.0.1", L"1.2.3.4:80"})
        EXPECT_FALSE(basalt::IsValidIP(bad)) << basalt::ustring(bad).ToCodePage(CP_UTF8);
    EXPECT_FALSE(basalt::IsValidIP(nullptr));
    // inet_addr reads a leading zero as octal: such text must not pass as dotted decimal.
    EXPECT_FALSE(basalt::IsValidIP(L"010.0.0.1"));
    EXPECT_FALSE(basalt::IsValidIP(L"1.2.3.08"));
}

TEST(CWSASocket, PendingReceiveCompletesWhenThePeerSends) {
    Pair pair = Connect();
    basalt::COverlapped record;
    char buffer[64];
    DWORD received = 0;
    ASSERT_FALSE(pair.client.Recv(buffer, sizeof buffer, received, record));
    EXPECT_FALSE(pair.client.GetOverlappedResult(record, received, false));

    SendAll(pair.server, "hello");
    ASSERT_TRUE(pair.client.GetOverlappedResult(record, received, true));
    EXPECT_EQ(std::string(buffer, received), "hello");

    // What is already there completes at once.
    SendAll(pair.server, "again");
    ASSERT_EQ(pair.client.Select(true, false, false, 2000), 1);
    record.Prepare();
    ASSERT_TRUE(pair.client.Recv(buffer, sizeof buffer, received, record));
    EXPECT_EQ(std::string(buffer, received), "again");
}

TEST(CWSASocket, SelectAnswersNothingReadyWhenNothingArrivesInItsTimeLimit) {
    Pair pair = Connect();
    int ready = -1;
    ready = pair.client.Select(true, false, false, 300);
    EXPECT_EQ(ready, 0) << "nothing arrived within the time limit";
    EXPECT_EQ(pair.client.Select(false, true, false, 0), 1) << "a fresh connection is writable";
}

TEST(CWSASocket, CancelledReceiveEndsAborted) {
    Pair pair = Connect();
    basalt::COverlapped record;
    char buffer[16];
    DWORD received = 0;
    ASSERT_FALSE(pair.client.Recv(buffer, sizeof buffer, received, record));
    EXPECT_TRUE(pair.client.Cancel(record));
    auto e = Caught<CWinException>([&] { pair.client.GetOverlappedResult(record, received, true); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetFunction(), L"WSAGetOverlappedResult");
    EXPECT_EQ(e->GetErrorCode(), static_cast<DWORD>(WSA_OPERATION_ABORTED));
    EXPECT_FALSE(pair.client.Cancel(record)) << "nothing is pending any more";
}

TEST(CWSASocket, OwnsItsSocketThroughMovesAndClosesItWhenDestroyed) {
    Pair pair = Connect();
    SOCKET handle = pair.server.GetHandle();
    CWSASocket moved(std::move(pair.server));
    EXPECT_FALSE(pair.server.IsCreated());
    EXPECT_EQ(moved.GetHandle(), handle);
    SendAll(moved, "x");
    { CWSASocket last(std::move(moved)); }
    EXPECT_FALSE(moved.IsCreated());

    // The peer sees the byte, then the end of the connection.
    basalt::COverlapped record;
    char buffer[8];
    DWORD received = 0;
    std::string seen;
    for (int i = 0; i < 2; ++i) {
        record.Prepare();
        if (!pair.client.Recv(buffer, sizeof buffer, received, record))
            pair.client.GetOverlappedResult(record, received, true);
        seen.append(buffer, received);
        if (received == 0) break;
    }
    EXPECT_EQ(seen, "x");
    EXPECT_EQ(received, 0u);
    pair.client.Close();
    pair.client.Close();  // harmless when nothing is held
    EXPECT_FALSE(pair.client.IsCreated());
}

}  // namespace
