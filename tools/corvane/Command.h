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
// Prints a library error as "error: FUNCTION: [CODE] MESSAGE" and answers the exit code 2.
int ReportError(const basalt::CStdException& e);
// Prints a table: columns padded to their widest cell, two spaces between them.
void PrintTable(const std::vector<std::vector<std::wstring>>& rows);

}  // namespace tool
