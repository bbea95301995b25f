// corvane.exe on a COM port: CTest runs these cases on a null-modem cable
// (sim/nullmodem), the tool on its port (CORVANE_RIG_PORT) and the test at
// the far end. Pseudo-terminals carry 8 data bits and no parity only, so a
// port of the cable keeps no parity and refuses 5 to 7 data bits, while the
// rate and 1 or 2 stop bits hold.
#include "ToolKit.h"

#include <Cable.h>

#include <atomic>
#include <thread>

using namespace tooltest;

namespace {

#define SKIP_WITHOUT_CABLE()      \
    if (!nullmodem::IsPresent()) \
    GTEST_SKIP() << "no null-modem cable: run through ctest, which lays it (sim/nullmodem/with-rig.sh)"

std::wstring Port() { return nullmodem::PortName(); }
// The error lines that name an assignment as not taken.
std::vector<std::string> Naming(const CRun& run, const std::string& assignment) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(run.err))
        if (Holds(line, "error: ") && Holds(line, assignment)) found.push_back(line);
    return found;
}

// The bridge tells the speed the tool's end set once it next looks: a
// state to wait for, with a generous deadline.
::testing::AssertionResult SpeedBecomes(nullmodem::CCable& cable, unsigned baud) {
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 10000; ::Sleep(20))
        if (cable.Speed(nullmodem::CCable::port) == baud) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the port runs at " << cable.Speed(nullmodem::CCable::port) << " baud, not "
                                         << baud;
}

// The far end sends a line every few milliseconds until told to stop.
class CStreamingPeer {
public:
    CStreamingPeer()
        : m_thread([this] {
              for (unsigned n = 0; !m_stop; ++n) {
                  m_peer.Write("tick " + std::to_string(n) + "\r\n");
                  ::Sleep(10);
              }
          }) {}
    ~CStreamingPeer() {
        m_stop = true;
        m_thread.join();
    }

private:
    nullmodem::CPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

// Settings that hold are applied and shown; every assignment that did not
// hold is named, and the status is 2.
TEST(ToolOnCable, SettingsNameEveryAssignmentThatDidNotHold) {
    SKIP_WITHOUT_CABLE();
    nullmodem::CCable cable;
    CRun held = RunTool(L"settings " + Port() + L" BaudRate=19200 StopBits=2");
    EXPECT_EQ(held.status, 0u) << held.All();
    EXPECT_TRUE(Holds(held.out, "19200")) << held.All();
    EXPECT_TRUE(SpeedBecomes(cable, 19200));

    CRun parity = RunTool(L"settings " + Port() + L" BaudRate=38400 Parity=Even");
    EXPECT_EQ(parity.status, 2u) << parity.All();
    EXPECT_EQ(Naming(parity, "Parity=Even").size(), 1u) << parity.All();
    EXPECT_TRUE(Naming(parity, "BaudRate").empty()) << "the rate held:\n" << parity.All();
    EXPECT_TRUE(SpeedBecomes(cable, 38400));

    CRun both = RunTool(L"settings " + Port() + L" Parity=Even fParity=true");
    EXPECT_EQ(both.status, 2u) << both.All();
    EXPECT_EQ(Naming(both, "Parity=Even").size(), 1u) << both.All();
    EXPECT_EQ(Naming(both, "fParity=true").size(), 1u) << both.All();

    // A port that refuses the whole change still has each assignment named.
    CRun refused = RunTool(L"settings " + Port() + L" ByteSize=7");
    EXPECT_EQ(refused.status, 2u) << refused.All();
    EXPECT_FALSE(Naming(refused, "ByteSize=7").empty()) << refused.All();

    CRun unknown = RunTool(L"settings " + Port() + L" Speed=9600");
    EXPECT_EQ(unknown.status, 1u) << unknown.All();
    EXPECT_TRUE(Holds(unknown.err, "Speed")) << unknown.All();
}

TEST(ToolOnCable, SettingsAsJson) {
    SKIP_WITHOUT_CABLE();
    CRun run = RunTool(L"settings " + Port() + L" --json");
    EXPECT_EQ(run.status, 0u) << run.All();
    std::vector<std::map<std::string, CJson>> rows;
    ASSERT_TRUE(IsTable(run.out, {"setting", "value", "access", "options"}, rows));
    std::map<std::string, CJson> values;
    for (auto& row : rows) values[row["setting"].text] = row["value"];
    ASSERT_TRUE(values.count("fParity")) << run.out;
    EXPECT_EQ(values["fParity"].kind, CJson::kBool) << run.out;
    EXPECT_FALSE(values["fParity"].flag) << run.out;
    ASSERT_TRUE(values.count("BaudRate")) << run.out;
}

// A serial terminal with its options: they are applied before the terminal
// starts, typed lines go out with the line end asked for, and what the far
// end sends is shown.
TEST(ToolOnCable, OpenSerialCarriesBothWaysWithItsOptions) {
    SKIP_WITHOUT_CABLE();
    nullmodem::CCable cable;
    nullmodem::CPeer peer;
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L" --baud 19200 --stop 2 --flow none --eol crlf", "one\r\ntwo\r\n"},
        {L" --baud 57600 --data 8 --parity none --stop 1 --eol cr", "one\rtwo\r"},
        {L" --baud 9600 --eol lf", "one\ntwo\n"},
    };
    const unsigned speeds[] = {19200, 57600, 9600};
    for (size_t i = 0; i < cases.size(); ++i) {
        CChild terminal(L"open serial " + Port() + cases[i].first);
        ASSERT_TRUE(terminal.WaitForError("open;")) << terminal.Out() << terminal.Err();
        EXPECT_TRUE(SpeedBecomes(cable, speeds[i]));
        ASSERT_TRUE(terminal.Send("one\ntwo\n"));
        EXPECT_EQ(peer.Read(cases[i].second.size(), 10000), cases[i].second);
        peer.Write("from the far end\r\n");
        EXPECT_TRUE(terminal.WaitForOutput("from the far end\r\n")) << terminal.Out() << terminal.Err();
        CRun run = terminal.Finish();
        EXPECT_TRUE(run.ended) << run.All();
        EXPECT_EQ(run.status, 0u) << run.All();
    }
}

// A setting the port does not take is named, and no terminal starts.
TEST(ToolOnCable, OpenSerialNamesASettingThePortDoesNotTake) {
    SKIP_WITHOUT_CABLE();
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L" --parity even", "Parity=Even"},
        {L" --baud 19200 --data 7", "ByteSize=7"},
    };
    for (const auto& c : cases) {
        CRun run = RunTool(L"open serial " + Port() + c.first);
        EXPECT_EQ(run.status, 2u) << run.All();
        EXPECT_FALSE(Naming(run, c.second).empty()) << run.All();
        EXPECT_FALSE(Holds(run.err, "open;")) << run.All();
    }
}

// The far end never stops sending: the terminal still ends after its input
// (and the linger), or when the reader of its output has gone.
TEST(ToolOnCable, OpenSerialEndsWhileTheFarEndKeepsSending) {
    SKIP_WITHOUT_CABLE();
    CStreamingPeer peer;
    for (const wchar_t* linger : {L" --linger 0", L" --linger 250", L""}) {
        CChild terminal(L"open serial " + Port() + linger);
        EXPECT_TRUE(terminal.WaitForOutput("tick")) << terminal.Out() << terminal.Err();
        terminal.EndInput();
        CRun run = terminal.Finish();
        EXPECT_TRUE(run.ended) << run.All();
        EXPECT_EQ(run.status, 0u) << run.All();
    }
    CChild terminal(L"open serial " + Port() + L" --linger 600000");
    EXPECT_TRUE(terminal.WaitForOutput("tick")) << terminal.Out() << terminal.Err();
    terminal.DropOutput();
    CRun run = terminal.Finish();
    EXPECT_TRUE(run.ended) << "still running after its reader went:\n" << run.All();
}
