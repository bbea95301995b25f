// The login dialogue inside Open, branch by branch, against corvane-sim.
#include "TcpSupport.h"

namespace {

using basalt::CCommException;
using basalt::CWinException;
using tcptest::Caught;
using tcptest::MakePort;
using tcptest::SimAddress;
using tcptest::SimProcess;

// Every branch of the dialogue ends within its five-second limits; one that
// does not (a limit restarted by each chunk of a chatty device) is named here
// rather than found by CTest's time-out.
void Open(corvane::IPort& port) { testkit::WithinDeadline(20000, "Open", [&] { port.Open(); }); }

// The port is open and passes bytes both ways (the simulator echoes).
void ExpectWorking(corvane::IPort& port) {
    ASSERT_TRUE(port.IsOpen());
    tcptest::CPortReader waiter(port);
    ASSERT_EQ(port.Send("ping", 4), 4u);
    EXPECT_EQ(waiter.Receive(4, 5000), "ping");
}

// Open fails with a refused login carrying message; the port stays closed.
void ExpectRefused(const std::wstring& simOptions, const wchar_t* password, const wchar_t* message) {
    SimProcess sim(simOptions + L" --once");
    auto port = MakePort(SimAddress(sim, password));
    auto refused = Caught<CCommException>([&] { Open(*port); });
    ASSERT_TRUE(refused) << basalt::ustring(simOptions).ToCodePage(CP_UTF8);
    EXPECT_EQ(refused->GetFunction(), L"CTCPPort::Auth");
    EXPECT_EQ(refused->GetFile(), L"TCP");
    EXPECT_EQ(refused->GetErrorMessage(), message);
    EXPECT_EQ(refused->GetSource(), L"Receiver");
    EXPECT_FALSE(port->IsOpen());
}

// Open fails with a CWinException of the dialogue; the port stays closed.
// The code tells a step that timed out (1460) from a device that hung up.
void ExpectDialogueError(const std::wstring& simOptions, DWORD code) {
    SimProcess sim(simOptions + L" --once");
    auto port = MakePort(SimAddress(sim));
    std::unique_ptr<CWinException> error = Caught<CWinException>([&] { Open(*port); });
    std::string what = basalt::ustring(simOptions).ToCodePage(CP_UTF8);
    ASSERT_TRUE(error) << what;
    EXPECT_EQ(error->GetFunction(), L"CTCPPort::SyncRecv") << what;
    EXPECT_EQ(error->GetErrorCode(), code) << what;
    EXPECT_FALSE(port->IsOpen()) << what;
    auto closed = Caught<CWinException>([&] { port->Send("x", 1); });
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(TcpDialogue, RightPasswordOpensWithAnEmptyLoginLineEvenWhenTheDeviceDribbles) {
    SimProcess sim(L"--password s3cret --dribble --once");
    auto port = MakePort(SimAddress(sim, L"s3cret"));
    Open(*port);
    ExpectWorking(*port);
    EXPECT_TRUE(sim.HasLine("login name \"\"")) << sim.Transcript();
    EXPECT_TRUE(sim.HasLine("password \"s3cret\"")) << sim.Transcript();
}

TEST(TcpDialogue, PromptsMatchInAnyLetterCaseAndAnEmptyPasswordIsAnEmptyLine) {
    tcptest::Concurrently({
        [] {
            SimProcess sim(L"--prompt-case upper --password pw --once");
            auto port = MakePort(SimAddress(sim, L"pw"));
            Open(*port);
            ExpectWorking(*port);
        },
        [] {
            SimProcess sim(L"--prompt-case mixed --password pw --once");
            auto port = MakePort(SimAddress(sim, L"pw"));
            Open(*port);
            ExpectWorking(*port);
        },
        [] {
            SimProcess sim(L"--prompt-case lower --once");
            auto port = MakePort(SimAddress(sim, L""));
            Open(*port);
            ExpectWorking(*port);
            EXPECT_TRUE(sim.HasLine("password \"\"")) << sim.Transcript();
        },
        // A password with characters beyond ASCII travels as UTF-8.
        [] {
            SimProcess sim(L"--password \"gr\u00FC\u00DF \u20AC\" --once");
            auto port = MakePort(SimAddress(sim, L"gr\u00FC\u00DF \u20AC"));
            Open(*port);
            ExpectWorking(*port);
        },
    });
}

TEST(TcpDialogue, RefusalsCarryTheReplyOrInvalidPassword) {
    tcptest::Concurrently({
        [] { ExpectRefused(L"--password right", L"wrong", L"Invalid password."); },
        [] { ExpectRefused(L"--reply \"Login Incorrect\"", L"", L"Invalid password."); },
        [] { ExpectRefused(L"--reply \"ERROR 17: unit locked\"", L"", L"ERROR 17: unit locked"); },
        // Only "RE" in capitals, at the very start, means success.
        [] { ExpectRefused(L"--reply \"ready\"", L"", L"ready"); },
        [] { ExpectRefused(L"--reply \" READY\"", L"", L" READY"); },
        [] {
            SimProcess sim(L"--reply \"REMOTE MODE\" --once");
            auto port = MakePort(SimAddress(sim, L"anything"));
            Open(*port);
            ExpectWorking(*port);
        },
    });
}

// The slow branches, all at once: each waits out the five-second limit.
TEST(TcpDialogue, SilenceAndHangUpsAtEachPointOfTheDialogue) {
    tcptest::Concurrently({
        // No greeting at all: the device asks for no login, the port opens
        // after the time limit and has sent nothing.
        [] {
            SimProcess sim(L"--no-greeting --once");
            auto port = MakePort(SimAddress(sim, L"unused"));
            Open(*port);
            ASSERT_TRUE(port->IsOpen());
            port->Close();
            EXPECT_TRUE(sim.WaitForLine("totals: 0 bytes in")) << sim.Transcript();
        },
        // A device that streams without greeting: what it sent during the
        // wait is its data, and reaches the client from the first line on.
        [] {
            SimProcess sim(L"--no-greeting --mode stream --rate 200 --once");
            auto port = MakePort(SimAddress(sim));
            Open(*port);
            tcptest::CPortReader waiter(*port);
            EXPECT_EQ(waiter.Receive(98, 5000), "0000000000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n"
                                                "0000000001 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
        },
        // A chattier one sends more in the wait than the incoming stream
        // holds: the rest waits in the socket and follows, nothing dropped.
        [] {
            SimProcess sim(L"--no-greeting --mode stream --rate 5000 --once");
            auto port = MakePort(SimAddress(sim));
            auto events = tcptest::CRecorder::Listen(*port);
            Open(*port);
            tcptest::CPortReader reader(*port);
            std::string text = reader.Receive(49 * 3000, 10000);
            ASSERT_EQ(text.size(), 49u * 3000);
            EXPECT_EQ(text.substr(0, 49), "0000000000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
            EXPECT_EQ(text.substr(49 * 2999), "0000002999 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
            EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
        },
        // A prompt or the reply that never comes.
        [] { ExpectDialogueError(L"--hang-after greeting", ERROR_TIMEOUT); },
        [] { ExpectDialogueError(L"--hang-after login", ERROR_TIMEOUT); },
        [] { ExpectDialogueError(L"--hang-after password", ERROR_TIMEOUT); },
        // The device hanging up in the middle.
        [] { ExpectDialogueError(L"--close-after greeting", WSAECONNREFUSED); },
        [] { ExpectDialogueError(L"--close-after login", WSAECONNREFUSED); },
        [] { ExpectDialogueError(L"--close-after password", WSAECONNREFUSED); },
    });
}

}  // namespace

TEST(TcpDialogue, TheLoginAndPasswordLinesEndInCarriageReturnAndLineFeed) {
    std::string login, password;
    {
        tcptest::ScriptedDevice device([&](tcptest::ScriptedDevice::End& end) {
            end.Send("{{unit 7}}\r\nLogin:");
            login = end.ReadLine();
            end.Send("Password:");
            password = end.ReadLine();
            end.Send("READY\r\n");
            end.ReadLine();  // until the port closes
        });
        auto port = MakePort(device.Address(L"pw"));
        Open(*port);
        EXPECT_TRUE(port->IsOpen());
        port->Close();
    }
    EXPECT_EQ(login, "\r\n");
    EXPECT_EQ(password, "pw\r\n");
}

// A greeting cut short by the device's hang-up is no silent device: Open fails.
TEST(TcpDialogue, ADeviceThatClosesInsideItsGreetingFailsOpen) {
    tcptest::ScriptedDevice device([](tcptest::ScriptedDevice::End& end) { end.Send("{{unit 7"); });
    auto port = MakePort(device.Address());
    std::unique_ptr<CWinException> error;
    error = Caught<CWinException>([&] { Open(*port); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->GetFunction(), L"CTCPPort::SyncRecv");
    // Not a silent device, which would time out (1460) or open.
    EXPECT_EQ(error->GetErrorCode(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_FALSE(port->IsOpen());
}

TEST(TcpDialogue, TheReplysLineFeedInALaterPacketIsNotData) {
    // Dribbled, the reply's line feed travels alone after its carriage
    // return; the device's first line follows at once.
    SimProcess sim(L"--dribble --mode stream --rate 0 --lines 3 --once");
    auto port = MakePort(SimAddress(sim));
    port->Open();
    tcptest::CPortReader reader(*port);
    std::string text = reader.Receive(3 * 49, 5000);
    EXPECT_EQ(text.substr(0, 12), "0000000000 A") << "the first bytes the client reads";
}
