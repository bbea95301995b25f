#pragma once
// corvane.exe as a user runs it: a child process started from the folder of
// this test program, its standard input fed and ended when the test says,
// its standard output and error read apart, and every child given a deadline
// (a tool that hangs fails by name, not at CTest's time-out). Beside it, a
// small JSON reader for the --json output.
#include <Corvane.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tooltest {

// What a finished child left: its exit status (kKilled when the test had to
// end it), standard output and standard error, UTF-8.
const DWORD kKilled = 99;
struct CRun {
    DWORD status = ~0u;
    std::string out, err;
    bool ended = false;  // it ended by itself before its deadline
    std::string All() const { return out + err; }
};

// One running program of this folder (corvane.exe unless named). Its
// standard input stays open until EndInput or Finish.
class CChild {
public:
    explicit CChild(const std::wstring& arguments, const std::wstring& program = L"corvane.exe");
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Started() const { return m_process != nullptr; }
    // Bytes for its standard input; false when it no longer reads them.
    bool Send(const std::string& bytes);
    void EndInput();
    // Reads until standard output (or error) holds text; false after timeoutMs.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs = 10000);
    bool WaitForError(const std::string& text, DWORD timeoutMs = 10000);
    // The reader of its standard output goes away (as "| head" does).
    void DropOutput();
    // Waits until it ends by itself, at most timeoutMs; then it is
    // terminated and the run says so. Its input stays as it is.
    CRun Wait(DWORD timeoutMs = 20000);
    // Ends its input, then waits.
    CRun Finish(DWORD timeoutMs = 20000) {
        EndInput();
        return Wait(timeoutMs);
    }
    std::string Out() const;
    std::string Err() const;

private:
    struct CPipe;
    // Reads what the pipes hold until done() or timeoutMs; false on time-out.
    template <class Done> bool Pump(DWORD timeoutMs, Done done);
    std::unique_ptr<CPipe> m_out, m_err;
    HANDLE m_input = nullptr;
    HANDLE m_process = nullptr;
    std::string m_startError;
};

// Runs corvane.exe to its end with its input ended at once.
CRun RunTool(const std::wstring& arguments);
// Several at once (each started before the first is awaited); results in order.
std::vector<CRun> RunTools(const std::vector<std::wstring>& arguments);

bool Holds(const std::string& output, const std::string& text);
std::vector<std::string> Lines(const std::string& text);  // without their line ends

// A JSON value, as far as the tool writes them.
struct CJson {
    enum EKind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<CJson> items;                                // an array's
    std::vector<std::pair<std::string, CJson>> members;      // an object's, in order
    const CJson* Member(const std::string& key) const;
};
// The whole text as one JSON value; false (with where it went wrong) otherwise.
::testing::AssertionResult ParseJson(const std::string& text, CJson& value);
// An array of objects whose keys are exactly keys (lower case, in this order),
// as --json promises; the rows as maps of key to value.
::testing::AssertionResult IsTable(const std::string& text, const std::vector<std::string>& keys,
                                   std::vector<std::map<std::string, CJson>>& rows);

// The simulated devices' nodes in SetupAPI, for the programs of this folder
// to find: the default Bluetooth Smart device and the default USB instrument.
void RegisterSimulatedDevices();
void UnregisterSimulatedDevices();

}  // namespace tooltest
