// corvane.exe: the Corvane SDK's command-line companion.
#include "Command.h"

#include <cstdio>
#include <io.h>

namespace tool {

std::vector<Command>& Commands() {
    static std::vector<Command> commands;
    return commands;
}

namespace {
void Write(FILE* stream, const std::wstring& text) {
    std::string utf8 = basalt::ustring(text).ToCodePage(CP_UTF8);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

// On standard output when asked for, on standard error after a mistake.
int Usage(bool asked = false) {
    void (*print)(const std::wstring&) = asked ? Out : Err;
    print(L"usage: corvane COMMAND [ARGS...]\n\ncommands:\n");
    std::vector<std::vector<std::wstring>> rows;
    for (const Command& c : Commands())
        rows.push_back({L"  " + std::wstring(c.name) + L" " + c.usage, c.summary});
    for (const auto& row : rows) {
        std::wstring line = row[0];
        line.resize(std::max<size_t>(line.size() + 2, 40), L' ');
        print(line + row[1] + L"\n");
    }
    return asked ? 0 : 1;
}
}  // namespace

void Out(const std::wstring& text) { Write(stdout, text); }
void Err(const std::wstring& text) { Write(stderr, text); }

int ReportError(const basalt::CStdException& e) {
    Err(L"error: " + e.Describe() + L"\n");
    return 2;
}

void PrintTable(const std::vector<std::vector<std::wstring>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    for (const auto& row : rows) {
        std::wstring line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, L' ');
        }
        while (!line.empty() && line.back() == L' ') line.pop_back();
        Out(line + L"\n");
    }
}

}  // namespace tool

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return tool::Usage();
    std::wstring name = argv[1];
    if (name == L"help" || name == L"--help" || name == L"-h" || name == L"/?") return tool::Usage(true);
    for (const tool::Command& c : tool::Commands()) {
        if (name != c.name) continue;
        tool::Args args(argv + 2, argv + argc);
        try {
            return c.run(args);
        } catch (const basalt::CStdException& e) {
            return tool::ReportError(e);
        } catch (const _com_error& e) {
            tool::Err(L"error: OLE conversion failed: " + std::wstring(e.ErrorMessage()) + L"\n");
            return 2;
        }
    }
    tool::Err(L"corvane: unknown command '" + name + L"'\n\n");
    return tool::Usage();
}
