// Opening, losing and closing a TCP port, and the events a client sees.
#include "TcpSupport.h"

#include <algorithm>

namespace {

using basalt::CWinException;
using corvane::EEventType;
using tcptest::Caught;
using tcptest::MakePort;
using tcptest::SimAddress;
using tcptest::SimProcess;

std::vector<EEventType> Only(const std::vector<EEventType>& events, std::initializer_list<EEventType> kinds) {
    std::vector<EEventType> kept;
    for (EEventType type : events)
        if (std::find(kinds.begin(), kinds.end(), type) != kinds.end()) kept.push_back(type);
    return kept;
}

std::string Show(const std::vector<EEventType>& events) {
    std::string text;
    for (EEventType type : events) text += std::to_string(type) + " ";
    return text;
}

TEST(TcpLifecycle, SendAndRecvOnAPortNeverOpenedFailWithInvalidHandle) {
    auto port = MakePort(corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, L"127.0.0.1", L"",
                                                            nullptr, L"", 0, 0, L"1"));
    EXPECT_FALSE(port->IsOpen());
    port->Close();  // harmless on a closed port
    auto send = Caught<CWinException>([&] { port->Send("x", 1); });
    auto recv = Caught<CWinException>([&] { port->Recv(nullptr, 0); });
    ASSERT_TRUE(send && recv);
    EXPECT_EQ(send->GetFunction(), L"CTCPPort::Send");
    EXPECT_EQ(recv->GetFunction(), L"CTCPPort::Recv");
    EXPECT_EQ(send->GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(recv->GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(send->GetFile(), L"TCP");
}

TEST(TcpLifecycle, OpenFailuresLeaveThePortClosed) {
    // A name that cannot resolve (the .invalid domain never exists).
    auto unknown = MakePort(corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portTCP, 0, L"no-such-receiver.invalid", L"", nullptr, L"", 0, 0, L"5017"));
    auto resolve = Caught<CWinException>([&] { unknown->Open(); });
    ASSERT_TRUE(resolve);
    EXPECT_EQ(resolve->GetFunction(), L"gethostbyname");
    EXPECT_NE(resolve->GetErrorCode(), 0u);
    EXPECT_FALSE(unknown->IsOpen());

    // An empty host names nothing (the resolver would read it as this machine).
    auto empty = MakePort(corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, L"", L"", nullptr,
                                                             L"", 0, 0, L"5017"));
    auto none = Caught<CWinException>([&] { empty->Open(); });
    ASSERT_TRUE(none);
    EXPECT_EQ(none->GetFunction(), L"gethostbyname");
    EXPECT_FALSE(empty->IsOpen());

    // Nobody listening: a simulator that has gone leaves its port free.
    std::wstring freePort;
    { SimProcess gone(L"--once"); freePort = gone.PortText(); }
    auto refused = MakePort(corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, L"127.0.0.1",
                                                               L"", nullptr, L"", 0, 0, freePort.c_str()));
    auto connect = Caught<CWinException>([&] { refused->Open(); });
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->GetErrorCode(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_FALSE(refused->IsOpen());
}

TEST(TcpLifecycle, AWholeSessionTellsTheClientItsEventsInOrder) {
    SimProcess sim(L"--password pw --once");
    auto port = MakePort(SimAddress(sim, L"pw"));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    EXPECT_TRUE(events->Events().empty()) << "opening fires nothing: " << Show(events->Events());

    tcptest::CPortReader waiter(*port);
    ASSERT_EQ(port->Send("hello", 5), 5u);
    ASSERT_TRUE(events->WaitFor(corvane::eventOutgoingEmpty, 1, 5000));
    EXPECT_EQ(waiter.Receive(5, 5000), "hello");
    port->Close();
    ASSERT_FALSE(port->IsOpen());

    // Each stream reports in its own order; the echo may come in pieces.
    std::vector<EEventType> all = events->Events();
    EXPECT_EQ(Only(all, {corvane::eventOutgoingPending, corvane::eventOutgoingEmpty,
                         corvane::eventOutgoingOverflow}),
              (std::vector<EEventType>{corvane::eventOutgoingPending, corvane::eventOutgoingEmpty}))
        << Show(all);
    std::vector<EEventType> incoming = Only(all, {corvane::eventDataAvailable, corvane::eventIncomingEmpty,
                                                  corvane::eventIncomingOverflow, corvane::eventError,
                                                  corvane::eventTerminated});
    incoming.erase(std::unique(incoming.begin(), incoming.end()), incoming.end());
    EXPECT_EQ(incoming, (std::vector<EEventType>{corvane::eventDataAvailable, corvane::eventIncomingEmpty,
                                                 corvane::eventTerminated}))
        << Show(all);
    EXPECT_EQ(all.back(), corvane::eventTerminated) << "the receive worker's end comes last";
}

TEST(TcpLifecycle, PeerClosingIsAnErrorThenTheEndAndRecvRaisesItUntilClosed) {
    SimProcess sim(L"--close-after reply");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(corvane::eventTerminated, 1, 5000)) << Show(events->Events());
    std::vector<EEventType> all = events->Events();
    auto error = std::find(all.begin(), all.end(), corvane::eventError);
    ASSERT_NE(error, all.end()) << Show(all);
    EXPECT_EQ(error + 1, all.end() - 1) << "eventError, then eventTerminated: " << Show(all);

    EXPECT_TRUE(port->IsOpen()) << "the port stays open until Close";
    for (int i = 0; i < 2; ++i) {
        auto lost = Caught<CWinException>([&] { port->Recv(nullptr, 0); });
        ASSERT_TRUE(lost);
        EXPECT_EQ(lost->GetErrorCode(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
        EXPECT_EQ(lost->GetFunction(), L"CTCPPort::RecvThreadProcFn");
        EXPECT_EQ(lost->GetFile(), L"TCP");
    }

    // Closing drops the stored error; the registrations survive for a reopening,
    // which tells the same story for the new connection.
    port->Close();
    auto closed = Caught<CWinException>([&] { port->Recv(nullptr, 0); });
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    events->Clear();
    port->Open();
    ASSERT_TRUE(events->WaitFor(corvane::eventTerminated, 1, 5000));
    EXPECT_EQ(events->Events(), (std::vector<EEventType>{corvane::eventError, corvane::eventTerminated}));
    port->Close();
    EXPECT_FALSE(port->IsOpen());
}

TEST(TcpLifecycle, CloseWhileDataFlowsBothWaysReturnsPromptlyAndThePortReopens) {
    SimProcess sim(L"");
    auto port = MakePort(SimAddress(sim));
    port->SetBufferSize(0x100000, 0x100000);
    for (int round = 0; round < 3; ++round) {
        port->Open();
        std::string block(0x40000, static_cast<char>('a' + round));
        tcptest::CPortReader waiter(*port);
        port->Send(block.data(), static_cast<DWORD>(block.size()));
        ASSERT_TRUE(waiter.WaitForBytes(1, 5000));
        testkit::WithinDeadline(10000, "Close while sending", [&] { port->Close(); });
        EXPECT_FALSE(port->IsOpen());
        auto closed = Caught<CWinException>([&] { port->Recv(nullptr, 0); });
        ASSERT_TRUE(closed);
        EXPECT_EQ(closed->GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // The capacities survive closing; the data does not.
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 0x100000u);
    port->Open();
    tcptest::CPortReader waiter(*port);
    ASSERT_EQ(port->Send("after", 5), 5u);
    EXPECT_EQ(waiter.Receive(5, 5000), "after");
}

TEST(TcpLifecycle, DestroyingAnOpenPortClosesItsConnection) {
    SimProcess sim(L"--mode stream --rate 0 --once");
    {
        auto port = MakePort(SimAddress(sim));
        port->Open();
        tcptest::CPortReader waiter(*port);
        ASSERT_TRUE(waiter.WaitForBytes(1000, 5000));
    }
    EXPECT_TRUE(sim.WaitForLine("totals:")) << sim.Transcript();
}

}  // namespace

TEST(TcpLifecycle, ADevicesLastWordsBeforeItHangsUpAreAllReadBeforeTheError) {
    // 1,000 bytes of lines, then the device closes at once: the receiving
    // worker has stored the lost connection long before the client reads.
    SimProcess sim(L"--mode stream --rate 0 --lines 20 --once");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(corvane::eventTerminated, 1, 5000)) << Show(events->Events());

    const size_t expected = 20 * 49;
    EXPECT_EQ(port->Recv(nullptr, 0), expected);
    std::string text;
    char buffer[300];
    while (text.size() < expected) {
        DWORD got = port->Recv(buffer, sizeof buffer);
        ASSERT_GT(got, 0u) << "after " << text.size() << " bytes";
        text.append(buffer, got);
    }
    EXPECT_EQ(text.substr(0, 49), "0000000000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
    EXPECT_EQ(text.substr(expected - 49), "0000000019 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
    // Then, and only then, the connection's end.
    auto lost = Caught<CWinException>([&] { port->Recv(buffer, sizeof buffer); });
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->GetErrorCode(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
    EXPECT_TRUE(Caught<CWinException>([&] { port->Send("x", 1); }));
}

TEST(TcpLifecycle, AClientsWildcardDeregistrationLeavesTheSenderAwake) {
    SimProcess sim(L"--once");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(port->DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventAll));
    tcptest::CPortReader again(*port);  // the client registers after its wildcard
    for (const char* round : {"first", "second"}) {
        ASSERT_EQ(port->Send(round, 5), 5u);
        EXPECT_EQ(again.Receive(5, 5000), std::string(round, 5));
    }
}
