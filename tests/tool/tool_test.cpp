// corvane.exe's commands that need no device: what they print, how they
// read what a user types, and the status each kind of ending gives.
#include "ToolKit.h"

#include <iterator>

using namespace tooltest;

namespace {

// Every command the help lists.
const wchar_t* const kCommands[] = {L"props", L"addr",     L"cod",  L"list",  L"settings", L"services", L"read",
                                    L"pair",  L"unpair", L"radio", L"serve", L"open"};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(CorvaneTool, PropsShowsASetOrEndsWithTheReadersError) {
    std::vector<CRun> runs = RunTools({L"props \"Id=\\\"Baud\\\",vt=VT_UI4,Value=9600,Options={9600}|{19200,\\\"fast\\\"};\"",
                                       L"props \"Id=\\\"Baud\\\",vt=VT_NOTHING;\""});
    const CRun& ok = runs[0];
    EXPECT_EQ(ok.status, 0u) << ok.All();
    for (const char* text : {"Baud", "VT_UI4", "full", "9600 | 19200 (fast)"})
        EXPECT_TRUE(Holds(ok.out, text)) << text << " in:\n" << ok.All();

    const CRun& bad = runs[1];
    EXPECT_EQ(bad.status, 2u) << bad.All();
    EXPECT_TRUE(Holds(bad.err, "error: ")) << bad.All();
}

TEST(CorvaneTool, AddrShowsABluetoothAddressInBothForms) {
    std::vector<CRun> runs = RunTools({L"addr bluetooth 00:11:22:aa:bb:cc Rover 1234", L"addr serial COM3"});
    const CRun& run = runs[0];
    EXPECT_EQ(run.status, 0u) << run.All();
    for (const char* text : {"1 (bluetooth)", "00:11:22:AA:BB:CC", "001122AABBCC", "\"Rover\"", "\"1234\""})
        EXPECT_TRUE(Holds(run.out, text)) << text << " in:\n" << run.All();
    const CRun& serial = runs[1];
    EXPECT_EQ(serial.status, 0u) << serial.All();
    EXPECT_TRUE(Holds(serial.out, "\\\\.\\COM3")) << serial.All();
}

TEST(CorvaneTool, CodNamesTheClassesOfAWord) {
    CRun run = RunTool(L"cod 5A020C");
    EXPECT_EQ(run.status, 0u) << run.All();
    for (const char* text : {"Phone (2)", "Smart (3)", "Networking;Capturing;Object XFER;Telephony"})
        EXPECT_TRUE(Holds(run.out, text)) << text << " in:\n" << run.All();
}

// The help, each command's usage and the version are asked for: status 0,
// on standard output. A mistake says what went wrong.
TEST(CorvaneTool, HelpUsageAndVersionAreAnswersNotMistakes) {
    std::vector<std::wstring> asked = {L"help", L"--help", L"--version"};
    for (const wchar_t* command : kCommands) asked.push_back(std::wstring(command) + L" --help");
    asked.push_back(L"frobnicate");
    std::vector<CRun> runs = RunTools(asked);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(runs[i].status, 0u) << runs[i].All();
        EXPECT_TRUE(Holds(runs[i].out, "usage: corvane COMMAND")) << runs[i].All();
        for (const wchar_t* command : kCommands)
            EXPECT_TRUE(Holds(runs[i].out, "  " + Narrow(command) + " ")) << Narrow(command) << " in:\n" << runs[i].All();
        EXPECT_FALSE(Holds(runs[i].All(), "unknown command")) << runs[i].All();
    }
    EXPECT_EQ(runs[2].status, 0u) << runs[2].All();
    EXPECT_EQ(Lines(runs[2].out), std::vector<std::string>{"Corvane SDK " CORVANE_TEST_SDK_VERSION}) << runs[2].All();
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        const CRun& usage = runs[3 + i];
        std::string command = Narrow(kCommands[i]);
        EXPECT_EQ(usage.status, 0u) << command << ":\n" << usage.All();
        EXPECT_TRUE(Holds(usage.out, "usage: corvane " + command)) << command << ":\n" << usage.All();
    }
    const CRun& wrong = runs.back();
    EXPECT_EQ(wrong.status, 1u) << wrong.All();
    EXPECT_TRUE(Holds(wrong.err, "unknown command 'frobnicate'")) << wrong.All();
}

// Bluetooth addresses are read exactly as the help shows them, so that a
// typo cannot name another device: six pairs of hexadecimal digits, all
// separated by colons or none, in either letter case. Anything else is a
// usage error that says what was expected, for every command that takes one.
TEST(CorvaneTool, MistypedAddressesAreRefusedWithTheFormExpected) {
    const std::vector<std::pair<std::wstring, std::string>> wrong = {
        {L"addr bluetooth 00:80:25:00:00:1G", "00:80:25:00:00:1G"},
        {L"addr bluetooth 100:80:25:00:00:01", "100:80:25:00:00:01"},
        {L"addr bluetooth 00-80-25-00-00-01", "00-80-25-00-00-01"},
        {L"addr ble 00:80:25:00:0:001", "00:80:25:00:0:001"},
        {L"addr bluetooth 0080250000011", "0080250000011"},
        {L"pair nonsense", "nonsense"},
        {L"unpair 00:80:25:00:00", "00:80:25:00:00"},
        {L"services 00:11:22:33:44:5G", "00:11:22:33:44:5G"},
        {L"read 0011223344 1800", "0011223344"},
        {L"open bluetooth 00:80:25:00:00:1G", "00:80:25:00:00:1G"},
        {L"open ble 00:11:22:33:44:555", "00:11:22:33:44:555"},
    };
    std::vector<std::wstring> commands;
    for (const auto& mistake : wrong) commands.push_back(mistake.first);
    std::vector<CRun> runs = RunTools(commands);
    for (size_t i = 0; i < wrong.size(); ++i) {
        const CRun& run = runs[i];
        const std::string command = Narrow(wrong[i].first);
        EXPECT_EQ(run.status, 1u) << command << ":\n" << run.All();
        EXPECT_TRUE(Holds(run.err, "'" + wrong[i].second + "'")) << command << ":\n" << run.All();
        EXPECT_TRUE(Holds(run.err, "00:11:22:AA:BB:CC") && Holds(run.err, "001122AABBCC"))
            << command << " does not say what was expected:\n" << run.All();
        EXPECT_EQ(run.out, "") << command;
        EXPECT_FALSE(Holds(run.err, "opening")) << command << " tried a device:\n" << run.All();
    }
}

TEST(CorvaneTool, EveryAddressFormTheHelpShowsIsRead) {
    std::vector<CRun> runs = RunTools({L"addr bluetooth 00:80:25:0A:0B:0C", L"addr bluetooth 0080250A0B0C",
                                       L"addr bluetooth 00:80:25:0a:0b:0c", L"addr ble 0080250a0b0c"});
    for (const CRun& run : runs) {
        EXPECT_EQ(run.status, 0u) << run.All();
        EXPECT_TRUE(Holds(run.out, "00:80:25:0A:0B:0C  0080250A0B0C")) << run.All();
    }
}

// Status 1 says the command line was wrong and nothing was tried; 2 that
// what was tried failed; 0 that it was done.
TEST(CorvaneTool, ExitStatusSaysWhatKindOfEndingItWas) {
    const std::vector<std::pair<std::wstring, DWORD>> cases = {
        {L"cod 0x1F00", 0},
        {L"", 1},
        {L"addr", 1},
        {L"addr satellite COM3", 1},
        {L"cod 5A020C 1", 1},
        {L"cod XYZ", 1},
        {L"props", 1},
        {L"list", 1},
        {L"list carrier-pigeon", 1},
        {L"list serial --cache", 1},
        {L"list bluetooth --class martian", 1},
        {L"settings", 1},
        {L"settings COM0", 1},
        {L"settings PORT3", 1},
        {L"settings COMx", 1},
        {L"services", 1},
        {L"read 00:11:22:33:44:55", 1},
        {L"pair", 1},
        {L"radio extra", 1},
        {L"open", 1},
        {L"open serial", 1},
        {L"open carrier-pigeon COM3", 1},
        {L"open tcp localhost", 1},
        {L"open tcp localhost:65536", 1},
        {L"open tcp localhost:23 --pin 1234", 1},
        {L"open tcp localhost:23 --password", 1},
        {L"serve", 1},
        {L"props \"Id=\\\"Baud\\\",vt=VT_NOTHING;\"", 2},
    };
    std::vector<std::wstring> commands;
    for (const auto& c : cases) commands.push_back(c.first);
    std::vector<CRun> runs = RunTools(commands);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(runs[i].status, cases[i].second) << "corvane " << Narrow(cases[i].first) << ":\n" << runs[i].All();
        if (cases[i].second == 1) {
            EXPECT_EQ(runs[i].out, "") << "a usage error prints on standard error: corvane " << Narrow(cases[i].first);
            EXPECT_FALSE(Holds(runs[i].err, "opening")) << Narrow(cases[i].first) << " tried a device";
        }
    }
}

// Values of open's options are checked before anything is opened: a bad
// one is a usage error even for a port that is not there.
TEST(CorvaneTool, BadOptionValuesAreRefusedBeforeAnyPortIsOpened) {
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L"--linger -5", "--linger"},          {L"--linger 1.5", "--linger"},
        {L"--linger soon", "--linger"},        {L"--linger \"\"", "--linger"},
        {L"--linger 99999999999", "--linger"}, {L"--linger", "--linger"},
        {L"--baud fast", "--baud"},            {L"--baud 0", "--baud"},
        {L"--baud -9600", "--baud"},           {L"--data 9", "--data"},
        {L"--data 4", "--data"},               {L"--parity even2", "--parity"},
        {L"--parity Even!", "--parity"},       {L"--stop 3", "--stop"},
        {L"--stop 1,5", "--stop"},             {L"--flow xon", "--flow"},
        {L"--eol nl", "--eol"},                {L"--baud 9600 --speed 9600", "--speed"},
    };
    std::vector<std::wstring> commands;
    for (const auto& c : cases) commands.push_back(L"open serial COM98 " + c.first);
    commands.push_back(L"open tcp 127.0.0.1:9 --linger later");
    commands.push_back(L"open ble 00:11:22:33:44:55 --linger 2s");
    std::vector<CRun> runs = RunTools(commands);
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string command = Narrow(commands[i]);
        const std::string option = i < cases.size() ? cases[i].second : "--linger";
        EXPECT_EQ(runs[i].status, 1u) << command << ":\n" << runs[i].All();
        EXPECT_TRUE(Holds(runs[i].err, option)) << command << " does not name " << option << ":\n" << runs[i].All();
        EXPECT_FALSE(Holds(runs[i].err, "opening")) << command << " opened the port first:\n" << runs[i].All();
    }
}
