#include "ToolKit.h"

#include <cstdio>
#include <cstdlib>

namespace tooltest {

// Our end of one of the child's output pipes, read with overlapped calls so
// that a wait has a deadline and the reader can go away at any moment.
struct CChild::CPipe {
    HANDLE handle = nullptr;
    basalt::COverlapped record;
    char buffer[4096];
    bool pending = false, ended = false;
    std::string data;

    ~CPipe() { Close(); }
    void Close() {
        if (!handle) return;
        if (pending) {
            ::CancelIo(handle);
            DWORD ignored = 0;
            ::GetOverlappedResult(handle, &record, &ignored, TRUE);
            pending = false;
        }
        ::CloseHandle(handle);
        handle = nullptr;
        ended = true;
    }
    // Starts reads until one pends; false once the pipe has ended.
    bool StartReads() {
        while (handle && !ended && !pending) {
            record.GetEvent().Reset();
            DWORD count = 0;
            if (::ReadFile(handle, buffer, sizeof buffer, &count, &record)) {
                data.append(buffer, count);
            } else if (::GetLastError() == ERROR_IO_PENDING) {
                pending = true;
            } else {
                ended = true;
            }
        }
        return !ended;
    }
    // Takes a read that completed.
    void Complete() {
        DWORD count = 0;
        if (!pending || !::GetOverlappedResult(handle, &record, &count, FALSE)) {
            if (pending && ::GetLastError() == ERROR_IO_INCOMPLETE) return;
            ended = true;
        }
        pending = false;
        data.append(buffer, count);
    }
};

namespace {

std::wstring Folder() {
    wchar_t path[MAX_PATH];
    std::wstring self(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L"\\/") + 1);
}

// A pipe whose one end the test holds (overlapped) and whose other end the
// child inherits; childWrites says which way the bytes go.
bool MakePipe(bool childWrites, HANDLE& ours, HANDLE& childs) {
    static LONG serial = 0;
    wchar_t name[96];
    std::swprintf(name, 96, L"\\\\.\\pipe\\corvane-tool-test-%lu-%ld", ::GetCurrentProcessId(),
                  ::InterlockedIncrement(&serial));
    ours = ::CreateNamedPipeW(name, (childWrites ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                                        FILE_FLAG_FIRST_PIPE_INSTANCE,
                              PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (ours == INVALID_HANDLE_VALUE) return (ours = nullptr), false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    childs = ::CreateFileW(name, childWrites ? GENERIC_WRITE : GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    if (childs == INVALID_HANDLE_VALUE) {
        ::CloseHandle(ours);
        ours = childs = nullptr;
        return false;
    }
    return true;
}

}  // namespace

CChild::CChild(const std::wstring& arguments, const std::wstring& program)
    : m_out(new CPipe), m_err(new CPipe) {
    std::wstring path = Folder() + program;
    std::wstring command = L"\"" + path + L"\" " + arguments;
    HANDLE input = nullptr, output = nullptr, errors = nullptr;
    if (!MakePipe(false, m_input, input) || !MakePipe(true, m_out->handle, output) ||
        !MakePipe(true, m_err->handle, errors)) {
        m_startError = "no pipes for the child, error " + std::to_string(::GetLastError());
    } else {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = errors;
        PROCESS_INFORMATION process = {};
        // Wine now and then fails a start with an internal error (1359)
        // while it is busy; that says nothing of the program, so it is tried again.
        bool started = false;
        for (int attempt = 0; attempt < 3 && !started; ++attempt) {
            if (attempt) ::Sleep(200);
            started = ::CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &startup, &process) != FALSE;
            if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) break;
        }
        if (started) {
            m_process = process.hProcess;
            ::CloseHandle(process.hThread);
        } else {
            m_startError = "the program did not start, error " + std::to_string(::GetLastError());
        }
    }
    // The pipes end with the child's copies.
    for (HANDLE handle : {input, output, errors})
        if (handle) ::CloseHandle(handle);
}

CChild::~CChild() {
    if (m_process) {
        if (::WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) ::TerminateProcess(m_process, kKilled);
        ::CloseHandle(m_process);
    }
    EndInput();
}

bool CChild::Send(const std::string& bytes) {
    if (!m_input) return false;
    basalt::COverlapped record;
    DWORD count = 0;
    if (!::WriteFile(m_input, bytes.data(), static_cast<DWORD>(bytes.size()), &count, &record)) {
        if (::GetLastError() != ERROR_IO_PENDING) return false;
        if (::WaitForSingleObject(record.GetEventHandle(), 10000) != WAIT_OBJECT_0) {
            ::CancelIo(m_input);
            ::GetOverlappedResult(m_input, &record, &count, TRUE);
            return false;
        }
        if (!::GetOverlappedResult(m_input, &record, &count, FALSE)) return false;
    }
    return count == bytes.size();
}

void CChild::EndInput() {
    if (m_input) ::CloseHandle(m_input);
    m_input = nullptr;
}

template <class Done>
bool CChild::Pump(DWORD timeoutMs, Done done) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        m_out->StartReads();
        m_err->StartReads();
        if (done()) return true;
        // The pipes' reads, and the process while it runs: whatever can change.
        HANDLE waits[3];
        DWORD count = 0;
        for (CPipe* pipe : {m_out.get(), m_err.get()})
            if (pipe->pending) waits[count++] = pipe->record.GetEventHandle();
        if (m_process && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) waits[count++] = m_process;
        DWORD elapsed = ::GetTickCount() - start;
        if (count == 0 || elapsed >= timeoutMs) return done();
        if (::WaitForMultipleObjects(count, waits, FALSE, timeoutMs - elapsed) == WAIT_TIMEOUT) return done();
        for (CPipe* pipe : {m_out.get(), m_err.get()})
            if (pipe->pending && ::WaitForSingleObject(pipe->record.GetEventHandle(), 0) == WAIT_OBJECT_0)
                pipe->Complete();
    }
}

bool CChild::WaitForOutput(const std::string& text, DWORD timeoutMs) {
    return Pump(timeoutMs, [&] { return Holds(m_out->data, text); });
}

bool CChild::WaitForError(const std::string& text, DWORD timeoutMs) {
    return Pump(timeoutMs, [&] { return Holds(m_err->data, text); });
}

void CChild::DropOutput() { m_out->Close(); }

CRun CChild::Wait(DWORD timeoutMs) {
    CRun run;
    if (!m_process) {
        run.err = m_startError;
        return run;
    }
    auto exited = [&] { return ::WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0; };
    run.ended = Pump(timeoutMs, exited);
    // What it wrote last; the pipes end with its handles.
    Pump(run.ended ? 5000 : 0, [&] { return m_out->ended && m_err->ended; });
    if (!run.ended) {
        ::TerminateProcess(m_process, kKilled);
        ::WaitForSingleObject(m_process, 5000);
    }
    ::GetExitCodeProcess(m_process, &run.status);
    run.out = m_out->data;
    run.err = m_err->data;
    if (!run.ended) run.err += "\n(the program did not end within " + std::to_string(timeoutMs / 1000) + " s)";
    return run;
}

std::string CChild::Out() const { return m_out->data; }
std::string CChild::Err() const { return m_err->data; }

CRun RunTool(const std::wstring& arguments) {
    CChild child(arguments);
    child.EndInput();
    return child.Finish();
}

std::vector<CRun> RunTools(const std::vector<std::wstring>& arguments) {
    // A few at a time: each is a Wine process on a small machine.
    const size_t kAtOnce = 6;
    std::vector<std::unique_ptr<CChild>> children(arguments.size());
    std::vector<CRun> runs(arguments.size());
    for (size_t next = 0, done = 0; done < arguments.size(); ++done) {
        for (; next < arguments.size() && next < done + kAtOnce; ++next) {
            children[next].reset(new CChild(arguments[next]));
            children[next]->EndInput();
        }
        runs[done] = children[done]->Finish();
        children[done].reset();
    }
    return runs;
}

bool Holds(const std::string& output, const std::string& text) { return output.find(text) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        from = end + 1;
    }
    return lines;
}

const CJson* CJson::Member(const std::string& key) const {
    for (const auto& member : members)
        if (member.first == key) return &member.second;
    return nullptr;
}

namespace {

class CJsonReader {
public:
    explicit CJsonReader(const std::string& text) : m_text(text) {}
    bool Whole(CJson& value) {
        if (!Value(value)) return false;
        Space();
        return m_at == m_text.size() || Fail("text after the value");
    }
    std::string error;

private:
    bool Fail(const std::string& what) {
        if (error.empty()) error = what + " at offset " + std::to_string(m_at) + ": '" + m_text.substr(m_at, 30) + "'";
        return false;
    }
    void Space() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\n' ||
                                        m_text[m_at] == '\r'))
            ++m_at;
    }
    bool Word(const char* word) {
        size_t size = std::char_traits<char>::length(word);
        if (m_text.compare(m_at, size, word) != 0) return false;
        m_at += size;
        return true;
    }
    bool String(std::string& text) {
        if (m_at >= m_text.size() || m_text[m_at] != '"') return Fail("expected a string");
        ++m_at;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            char c = m_text[m_at++];
            if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
            if (c != '\\') {
                text += c;
                continue;
            }
            if (m_at >= m_text.size()) break;
            char escaped = m_text[m_at++];
            const char* simple = "\"\\/bfnrt";
            const char* meaning = "\"\\/\b\f\n\r\t";
            const char* found = std::char_traits<char>::find(simple, 8, escaped);
            if (found) {
                text += meaning[found - simple];
            } else if (escaped == 'u' && m_at + 4 <= m_text.size()) {
                unsigned long code = std::strtoul(m_text.substr(m_at, 4).c_str(), nullptr, 16);
                m_at += 4;
                if (code < 0x80) text += static_cast<char>(code);
                else text += '?';  // the tool escapes only control characters
            } else {
                return Fail("a bad escape");
            }
        }
        if (m_at >= m_text.size()) return Fail("an unterminated string");
        ++m_at;
        return true;
    }
    bool Value(CJson& value) {
        Space();
        if (m_at >= m_text.size()) return Fail("expected a value");
        char c = m_text[m_at];
        if (c == '[') {
            value.kind = CJson::kArray;
            ++m_at;
            Space();
            if (m_at < m_text.size() && m_text[m_at] == ']') return ++m_at, true;
            for (;;) {
                value.items.emplace_back();
                if (!Value(value.items.back())) return false;
                Space();
                if (m_at < m_text.size() && m_text[m_at] == ',') {
                    ++m_at;
                    continue;
                }
                if (m_at < m_text.size() && m_text[m_at] == ']') return ++m_at, true;
                return Fail("expected , or ]");
            }
        }
        if (c == '{') {
            value.kind = CJson::kObject;
            ++m_at;
            Space();
            if (m_at < m_text.size() && m_text[m_at] == '}') return ++m_at, true;
            for (;;) {
                Space();
                std::pair<std::string, CJson> member;
                if (!String(member.first)) return false;
                Space();
                if (m_at >= m_text.size() || m_text[m_at] != ':') return Fail("expected :");
                ++m_at;
                if (!Value(member.second)) return false;
                value.members.push_back(member);
                Space();
                if (m_at < m_text.size() && m_text[m_at] == ',') {
                    ++m_at;
                    continue;
                }
                if (m_at < m_text.size() && m_text[m_at] == '}') return ++m_at, true;
                return Fail("expected , or }");
            }
        }
        if (c == '"') {
            value.kind = CJson::kString;
            return String(value.text);
        }
        if (Word("true")) return value.kind = CJson::kBool, value.flag = true, true;
        if (Word("false")) return value.kind = CJson::kBool, value.flag = false, true;
        if (Word("null")) return value.kind = CJson::kNull, true;
        const char* from = m_text.c_str() + m_at;
        char* end = nullptr;
        value.number = std::strtod(from, &end);
        if (end == from) return Fail("expected a value");
        value.kind = CJson::kNumber;
        m_at += end - from;
        return true;
    }

    const std::string& m_text;
    size_t m_at = 0;
};

}  // namespace

::testing::AssertionResult ParseJson(const std::string& text, CJson& value) {
    CJsonReader reader(text);
    if (reader.Whole(value)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not JSON: " << reader.error << "\nin:\n" << text;
}

::testing::AssertionResult IsTable(const std::string& text, const std::vector<std::string>& keys,
                                   std::vector<std::map<std::string, CJson>>& rows) {
    CJson value;
    ::testing::AssertionResult parsed = ParseJson(text, value);
    if (!parsed) return parsed;
    if (value.kind != CJson::kArray) return ::testing::AssertionFailure() << "not an array:\n" << text;
    rows.clear();
    for (const CJson& item : value.items) {
        if (item.kind != CJson::kObject) return ::testing::AssertionFailure() << "an item is no object:\n" << text;
        std::vector<std::string> found;
        std::map<std::string, CJson> row;
        for (const auto& member : item.members) {
            found.push_back(member.first);
            row[member.first] = member.second;
        }
        if (found != keys) {
            std::string names;
            for (const std::string& key : found) names += " " + key;
            return ::testing::AssertionFailure() << "keys" << names << " in:\n" << text;
        }
        rows.push_back(row);
    }
    return ::testing::AssertionSuccess();
}

namespace {

void RunHelper(const std::wstring& program, const std::wstring& arguments) {
    CChild helper(arguments, program);
    CRun run = helper.Finish();
    EXPECT_EQ(run.status, 0u) << std::string(program.begin(), program.end()) << " failed:\n" << run.All();
}

}  // namespace

void RegisterSimulatedDevices() {
    RunHelper(L"blesim.exe", L"register");
    RunHelper(L"usbsim.exe", L"register");
}

void UnregisterSimulatedDevices() {
    RunHelper(L"blesim.exe", L"unregister");
    RunHelper(L"usbsim.exe", L"unregister");
}

}  // namespace tooltest
