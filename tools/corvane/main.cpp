// corvane.exe: the Corvane SDK's command-line companion.
#include "Command.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>
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
    print(L"\n  corvane COMMAND --help    that command's usage\n"
          L"  corvane --version         the SDK's version\n"
          L"\nexit status: 0 done, 1 usage error (nothing tried), 2 failure,\n"
          L"  3 nothing found (no devices, no services)\n");
    return asked ? exitDone : exitUsage;
}

// The version record of the Corvane.dll this program loaded.
int Version() {
    wchar_t path[MAX_PATH];
    HMODULE library = ::GetModuleHandleW(L"Corvane.dll");
    DWORD length = library ? ::GetModuleFileNameW(library, path, MAX_PATH) : 0;
    DWORD ignored = 0, size = length ? ::GetFileVersionInfoSizeW(path, &ignored) : 0;
    std::vector<BYTE> record(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!size || !::GetFileVersionInfoW(path, 0, size, record.data()) ||
        !::VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info) {
        Err(L"corvane: Corvane.dll has no version record\n");
        return exitFailed;
    }
    basalt::ustring text;
    text.sprintf(L"Corvane SDK %lu.%lu.%lu\n", info->dwFileVersionMS >> 16, info->dwFileVersionMS & 0xFFFF,
                 info->dwFileVersionLS >> 16);
    Out(text);
    return exitDone;
}

bool IsHelpWord(const std::wstring& word) {
    return word == L"help" || word == L"--help" || word == L"-h" || word == L"/?";
}
}  // namespace

void Out(const std::wstring& text) { Write(stdout, text); }
void Err(const std::wstring& text) { Write(stderr, text); }

namespace {
std::wstring& FailureHint() {
    static std::wstring hint;
    return hint;
}
}  // namespace

void SetFailureHint(const std::wstring& hint) { FailureHint() = hint; }

int ReportError(const basalt::CStdException& e) {
    if (!FailureHint().empty()) Err(L"error: " + FailureHint() + L"\n");
    Err(std::wstring(FailureHint().empty() ? L"error: " : L"  library: ") + e.Describe() + L"\n");
    return exitFailed;
}

bool ReadDeviceAddress(const std::wstring& command, const std::wstring& text, ULONGLONG& address) {
    bool colons = text.size() == 17, ok = colons || text.size() == 12;
    std::wstring digits;
    for (size_t i = 0; ok && i < text.size(); ++i) {
        if (colons && i % 3 == 2) ok = text[i] == L':';
        else if ((ok = std::iswxdigit(text[i]) != 0)) digits.push_back(text[i]);
    }
    if (!ok) {
        Err(L"corvane " + command + L": '" + text + L"' is not a Bluetooth device address; expected six "
            L"hexadecimal bytes, as 00:11:22:AA:BB:CC or 001122AABBCC\n");
        return false;
    }
    address = std::wcstoull(digits.c_str(), nullptr, 16);
    return true;
}

bool ReadWholeNumber(const std::wstring& command, const std::wstring& option, const wchar_t* unit,
                     const std::wstring& text, DWORD& value) {
    bool ok = !text.empty() && text.size() <= 9 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
    if (!ok) {
        Err(L"corvane " + command + L": " + option + L" takes a whole number of " + unit + L"; got '" +
            text + L"'\n");
        return false;
    }
    value = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
    return true;
}

namespace {
bool& JsonOutput() {
    static bool json = false;
    return json;
}

// A JSON string: quotes, backslashes and control characters escaped.
std::wstring JsonText(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c < 0x20) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04X", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

void PrintJson(const Rows& rows) {
    std::wstring text = L"[";
    for (size_t r = 1; r < rows.size(); ++r) {
        text += r == 1 ? L"\n  {" : L",\n  {";
        for (size_t i = 0; i < rows[r].size() && i < rows[0].size(); ++i) {
            std::wstring key = rows[0][i].text;
            for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(c));
            const Cell& cell = rows[r][i];
            text += (i ? L", " : L"") + JsonText(key) + L": " + (cell.flag ? cell.text : JsonText(cell.text));
        }
        text += L"}";
    }
    Out(text + (rows.size() > 1 ? L"\n]\n" : L"]\n"));
}
}  // namespace

bool TakeJsonOption(Args& args) {
    bool found = false;
    for (size_t i = 0; i < args.size();) {
        if (args[i] == L"--json") {
            args.erase(args.begin() + i);
            found = true;
        } else {
            ++i;
        }
    }
    JsonOutput() = JsonOutput() || found;
    return found;
}

void PrintTable(const Rows& rows) {
    if (JsonOutput()) return PrintJson(rows);
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].text.size());
        }
    for (const auto& row : rows) {
        std::wstring line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i].text;
            if (i + 1 < row.size()) line.append(widths[i] - row[i].text.size() + 2, L' ');
        }
        while (!line.empty() && line.back() == L' ') line.pop_back();
        Out(line + L"\n");
    }
}

}  // namespace tool

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return tool::Usage();
    std::wstring name = argv[1];
    if (tool::IsHelpWord(name)) return tool::Usage(true);
    if (name == L"--version") return tool::Version();
    for (const tool::Command& c : tool::Commands()) {
        if (name != c.name) continue;
        tool::Args args(argv + 2, argv + argc);
        if (args.size() == 1 && tool::IsHelpWord(args[0])) {
            tool::Out(L"usage: corvane " + name + L" " + c.usage + L"\n  " + c.summary + L"\n");
            return tool::exitDone;
        }
        try {
            return c.run(args);
        } catch (const basalt::CStdException& e) {
            return tool::ReportError(e);
        } catch (const _com_error& e) {
            tool::Err(L"error: OLE conversion failed: " + std::wstring(e.ErrorMessage()) + L"\n");
            return tool::exitFailed;
        }
    }
    tool::Err(L"corvane: unknown command '" + name + L"'\n\n");
    return tool::Usage();
}
