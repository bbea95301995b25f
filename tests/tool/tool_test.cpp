// corvane.exe run as a user runs it, from the folder of this test program:
// what it prints and the status it ends with.
#include <Corvane.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct CRun {
    DWORD status;
    std::string output;  // standard output and error, UTF-8
};

CRun RunTool(const std::wstring& arguments) {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    std::wstring program = folder.substr(0, folder.find_last_of(L"\\/") + 1) + L"corvane.exe";
    std::wstring command = L"\"" + program + L"\" " + arguments;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {~0u, "CreatePipe failed"};
    basalt::CHandle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process))
        return {~0u, "corvane.exe did not start, error " + std::to_string(::GetLastError())};
    basalt::CHandle child(process.hProcess), thread(process.hThread);
    writer.Close();  // the pipe ends with the child's copy
    CRun run = {~0u, ""};
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(reader.Get(), buffer, sizeof buffer, &count, nullptr) && count) run.output.append(buffer, count);
    // A tool that hangs fails here by name, not at CTest's time-out.
    if (::WaitForSingleObject(child.Get(), 20000) != WAIT_OBJECT_0) {
        ::TerminateProcess(child.Get(), 99);
        run.output += "\n(corvane.exe did not end within 20 s)";
    }
    ::GetExitCodeProcess(child.Get(), &run.status);
    return run;
}

bool Holds(const std::string& output, const std::string& text) { return output.find(text) != std::string::npos; }

}  // namespace

TEST(CorvaneTool, PropsShowsASetOrEndsWithTheReadersError) {
    CRun ok = RunTool(L"props \"Id=\\\"Baud\\\",vt=VT_UI4,Value=9600,Options={9600}|{19200,\\\"fast\\\"};\"");
    EXPECT_EQ(ok.status, 0u) << ok.output;
    for (const char* text : {"Baud", "VT_UI4", "full", "9600 | 19200 (fast)"})
        EXPECT_TRUE(Holds(ok.output, text)) << text << " in:\n" << ok.output;

    CRun bad = RunTool(L"props \"Id=\\\"Baud\\\",vt=VT_NOTHING;\"");
    EXPECT_EQ(bad.status, 2u) << bad.output;
    EXPECT_TRUE(Holds(bad.output, "error: ")) << bad.output;
}

TEST(CorvaneTool, AddrShowsABluetoothAddressInBothForms) {
    CRun run = RunTool(L"addr bluetooth 00:11:22:aa:bb:cc Rover 1234");
    EXPECT_EQ(run.status, 0u) << run.output;
    for (const char* text : {"1 (bluetooth)", "00:11:22:AA:BB:CC", "001122AABBCC", "\"Rover\"", "\"1234\""})
        EXPECT_TRUE(Holds(run.output, text)) << text << " in:\n" << run.output;
    CRun serial = RunTool(L"addr serial COM3");
    EXPECT_EQ(serial.status, 0u) << serial.output;
    EXPECT_TRUE(Holds(serial.output, "\\\\.\\COM3")) << serial.output;
}

TEST(CorvaneTool, CodNamesTheClassesOfAWord) {
    CRun run = RunTool(L"cod 5A020C");
    EXPECT_EQ(run.status, 0u) << run.output;
    for (const char* text : {"Phone (2)", "Smart (3)", "Networking;Capturing;Object XFER;Telephony"})
        EXPECT_TRUE(Holds(run.output, text)) << text << " in:\n" << run.output;
}

TEST(CorvaneTool, HelpListsTheCommandsAndAMistakeSaysWhatWentWrong) {
    for (const wchar_t* asked : {L"help", L"--help"}) {
        CRun help = RunTool(asked);
        EXPECT_EQ(help.status, 0u) << help.output;
        EXPECT_TRUE(Holds(help.output, "usage: corvane COMMAND")) << help.output;
        EXPECT_FALSE(Holds(help.output, "unknown command")) << help.output;
    }
    CRun wrong = RunTool(L"frobnicate");
    EXPECT_EQ(wrong.status, 1u) << wrong.output;
    EXPECT_TRUE(Holds(wrong.output, "unknown command 'frobnicate'")) << wrong.output;
}
