// corvane open as a terminal: what is typed reaches the device and what the
// device sends is shown, and the terminal ends by itself however busy the
// device is: --linger MS after standard input has ended, or when the reader
// of its output has gone.
#include "ToolKit.h"

using namespace tooltest;

namespace {

class ToolTerminal : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterSimulatedDevices(); }
    static void TearDownTestSuite() { UnregisterSimulatedDevices(); }
};

// The simulated device that sends a line every 20 ms, whatever it is sent.
const wchar_t kStreaming[] = L"open bluetooth 00:80:25:00:00:02";

// Types a line into each terminal on an echoing device (all running at
// once) and sees it come back; then ends the input: each terminal closes
// and ends with status 0.
void ExpectEcho(const std::vector<std::wstring>& commands) {
    std::vector<std::unique_ptr<CChild>> terminals;
    for (const std::wstring& command : commands) terminals.emplace_back(new CChild(command));
    for (size_t i = 0; i < commands.size(); ++i) {
        SCOPED_TRACE(std::string(commands[i].begin(), commands[i].end()));
        CChild& terminal = *terminals[i];
        if (!terminal.WaitForError("open;")) {
            ADD_FAILURE() << "not open:\n" << terminal.Out() << terminal.Err();
            continue;
        }
        EXPECT_TRUE(terminal.Send("marco polo\n"));
        EXPECT_TRUE(terminal.WaitForOutput("marco polo")) << "no echo:\n" << terminal.Out() << terminal.Err();
        CRun run = terminal.Finish();
        EXPECT_TRUE(run.ended) << run.All();
        EXPECT_EQ(run.status, 0u) << run.All();
    }
}

}  // namespace

TEST_F(ToolTerminal, EchoesOverEachTransport) {
    ExpectEcho({L"open bluetooth 00:80:25:00:00:01", L"open bluetooth 008025000001 --linger 100",
                L"open ble 00:11:22:33:44:55", L"open ble 001122334455", L"open usb CV10000001A",
                L"open usb cv10000001a"});
}

// However busy the device, the terminal ends after its input: at once with
// --linger 0, after the default or the given time otherwise, and it shows
// what the device sent meanwhile.
TEST_F(ToolTerminal, EndsAfterItsInputWhileTheDeviceKeepsSending) {
    std::vector<std::unique_ptr<CChild>> terminals;
    for (const wchar_t* linger : {L"", L" --linger 0", L" --linger 300", L" --linger 1500"})
        terminals.emplace_back(new CChild(kStreaming + std::wstring(linger)));
    for (auto& terminal : terminals) {
        // Input ends only once lines flow, so the linger runs against a busy device.
        EXPECT_TRUE(terminal->WaitForOutput("\n")) << terminal->Out() << terminal->Err();
        terminal->EndInput();
    }
    for (auto& terminal : terminals) {
        CRun run = terminal->Finish();
        EXPECT_TRUE(run.ended) << run.All();
        EXPECT_EQ(run.status, 0u) << run.All();
        EXPECT_TRUE(Holds(run.out, "LINE FROM THE SIMULATED DEVICE")) << run.All();
        EXPECT_TRUE(Holds(run.err, "closed")) << run.All();
    }
}

// The input may end before the port is open, as with an empty file.
TEST_F(ToolTerminal, EndsWhenItsInputWasEmptyFromTheStart) {
    CRun run = RunTool(std::wstring(kStreaming) + L" --linger 200");
    EXPECT_TRUE(run.ended) << run.All();
    EXPECT_EQ(run.status, 0u) << run.All();
}

// With its input still open, a terminal on a streaming device ends when the
// reader of its output goes away, as after "| head -n 3".
TEST_F(ToolTerminal, EndsWhenTheReaderOfItsOutputGoesAway) {
    std::vector<std::unique_ptr<CChild>> terminals;
    for (const wchar_t* linger : {L"", L" --linger 0", L" --linger 600000"})
        terminals.emplace_back(new CChild(kStreaming + std::wstring(linger)));
    for (auto& terminal : terminals) {
        EXPECT_TRUE(terminal->WaitForOutput("\n")) << terminal->Out() << terminal->Err();
        terminal->DropOutput();
    }
    for (auto& terminal : terminals) {
        CRun run = terminal->Finish();
        EXPECT_TRUE(run.ended) << "still running after its reader went:\n" << run.All();
    }
}

// A simulated TCP receiver (corvane-sim) started with options; its address
// as the terminal takes it.
std::wstring StartReceiver(CChild& receiver) {
    EXPECT_TRUE(receiver.WaitForOutput("listening on 127.0.0.1:")) << receiver.Out() << receiver.Err();
    std::string log = receiver.Out();
    size_t from = log.find("127.0.0.1:");
    if (from == std::string::npos) return L"127.0.0.1:0";
    size_t end = log.find_first_not_of("0123456789", from + 10);
    std::string address = log.substr(from, end - from);
    return std::wstring(address.begin(), address.end());
}

// A terminal on a TCP receiver logs in with --password.
TEST_F(ToolTerminal, TcpLogsInAndEchoes) {
    CChild receiver(L"--once --password secret", L"corvane-sim.exe");
    ExpectEcho({L"open tcp " + StartReceiver(receiver) + L" --password secret"});
    CRun sim = receiver.Finish();
    EXPECT_TRUE(sim.ended) << sim.All();
}

// A receiver that sends five lines and hangs up ends the terminal, though
// its input goes on: everything sent before the hang-up is shown, and the
// session has done what it was asked.
TEST_F(ToolTerminal, EndsWhenTheDeviceHangsUp) {
    CChild receiver(L"--once --mode stream --lines 5 --rate 0", L"corvane-sim.exe");
    CChild terminal(L"open tcp " + StartReceiver(receiver) + L" --linger 600000");
    CRun run = terminal.Wait();
    EXPECT_TRUE(run.ended) << run.All();
    EXPECT_EQ(run.status, 0u) << run.All();
    EXPECT_TRUE(Holds(run.out, "0000000000 ")) << run.All();
    EXPECT_TRUE(Holds(run.out, "0000000004 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")) << run.All();
    EXPECT_FALSE(Holds(run.err, "error")) << run.All();
    receiver.Finish();
}
