#pragma once
// corvane.exe commands register themselves: each source file of this folder
// defines one or more commands with a static CommandRegistration.
#include <Corvane.h>

#include <string>
#include <vector>

namespace tool {

typedef std::vector<std::wstring> Args;  // the words after the command's name
typedef int (*CommandFn)(const Args& args);

struct Command {
    const wchar_t* name;
    const wchar_t* usage;    // the arguments, as shown in the help text
    const wchar_t* summary;  // one line
    CommandFn run;
};

std::vector<Command>& Commands();

struct CommandRegistration {
    explicit CommandRegistration(const Command& command) { Commands().push_back(command); }
};

// Output in UTF-8 on standard output / standard error.
void Out(const std::wstring& text);
void Err(const std::wstring& text);
// The exit status of every command.
enum ExitCode {
    exitDone = 0,     // the command did what it was asked
    exitUsage = 1,    // the command line was wrong; nothing was tried
    exitFailed = 2,   // the device, port or library failed
    exitNothing = 3,  // it worked, but found nothing (no services, no devices)
};

// Prints a library error and answers exitFailed: first the line that
// SetFailureHint gave, which says in the user's words what failed and what
// to try, then the library's "FUNCTION: [CODE] MESSAGE" as it is.
int ReportError(const basalt::CStdException& e);
// The line ReportError prints before the next library error; empty: none.
void SetFailureHint(const std::wstring& hint);

// A Bluetooth device address exactly as the help shows it: six pairs of
// hexadecimal digits, all separated by colons (00:11:22:AA:BB:CC) or none
// (001122AABBCC). The library's own reader is more forgiving, so a typo
// could name another device. False (after saying what was expected) otherwise.
bool ReadDeviceAddress(const std::wstring& command, const std::wstring& text, ULONGLONG& address);
// COMn with n from 1; false (after saying what was expected) otherwise.
bool IsComName(const std::wstring& text);
// A whole number of UNIT (milliseconds, bits per second), digits only. False
// (after saying so) otherwise.
bool ReadWholeNumber(const std::wstring& command, const std::wstring& option, const wchar_t* unit,
                     const std::wstring& text, DWORD& value);
// One cell of a table: text, or a flag (shown as true or false, and as a
// JSON boolean).
struct Cell {
    Cell(const std::wstring& text) : text(text) {}
    Cell(const wchar_t* text) : text(text) {}
    static Cell Flag(bool value) {
        Cell cell(value ? L"true" : L"false");
        cell.flag = true;
        return cell;
    }
    bool operator==(const Cell& other) const { return text == other.text; }
    bool operator!=(const Cell& other) const { return text != other.text; }

    std::wstring text;
    bool flag = false;
};
typedef std::vector<Cell> Row;
typedef std::vector<Row> Rows;  // the first row holds the headings

// Takes "--json" out of the arguments and answers whether it was there;
// PrintTable then writes JSON.
bool TakeJsonOption(Args& args);
// Prints a table: columns padded to their widest cell, two spaces between
// them. After --json: an array of objects, one a row, keyed by the lower-case
// headings, flags as true and false.
void PrintTable(const Rows& rows);

}  // namespace tool
