#include "TcpSupport.h"

#include "Common.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace tcptest {

namespace {

std::wstring SimPath() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + L"corvane-sim.exe";
}

}  // namespace

SimProcess::SimProcess(const std::wstring& options) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    m_output.Reset(readEnd);
    basalt::CHandle childEnd(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring path = SimPath();
    std::wstring command = L"\"" + path + L"\" " + options;
    if (!::CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &m_process))
        throw std::runtime_error("corvane-sim.exe did not start");
    childEnd.Close();  // the pipe ends when the child's copy goes
    m_reader = std::thread([this] { ReadOutput(); });

    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait_for(hold, std::chrono::seconds(20), [this] { return !m_lines.empty() || m_ended; });
    if (m_lines.empty() || m_lines[0].compare(0, 13, "listening on ") != 0) {
        hold.unlock();
        std::string transcript = Transcript();
        Stop();
        throw std::runtime_error("corvane-sim.exe did not start listening: " + transcript);
    }
    m_port = static_cast<unsigned short>(std::stoul(m_lines[0].substr(m_lines[0].rfind(':') + 1)));
}

SimProcess::~SimProcess() { Stop(); }

void SimProcess::Stop() {
    if (m_process.hProcess) {
        ::TerminateProcess(m_process.hProcess, 0);
        ::WaitForSingleObject(m_process.hProcess, 10000);
        ::CloseHandle(m_process.hProcess);
        ::CloseHandle(m_process.hThread);
        m_process = PROCESS_INFORMATION();
    }
    if (m_reader.joinable()) m_reader.join();
}

void SimProcess::ReadOutput() {
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(m_output.Get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_partial.append(buffer, count);
        size_t end;
        while ((end = m_partial.find('\n')) != std::string::npos) {
            std::string line = m_partial.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            m_lines.push_back(line);
            m_partial.erase(0, end + 1);
        }
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_ended = true;
    m_changed.notify_all();
}

bool SimProcess::HasLine(const std::string& fragment) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
}

bool SimProcess::WaitForLine(const std::string& fragment, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(m_lines.begin(), m_lines.end(),
                           [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
    });
}

std::string SimProcess::Transcript() const {
    std::lock_guard<std::mutex> hold(m_lock);
    std::string text;
    for (const std::string& line : m_lines) text += line + "\n";
    return text + m_partial;
}

boost::shared_ptr<const corvane::IPortAddr> SimAddress(const SimProcess& sim, const wchar_t* password,
                                                       const wchar_t* host) {
    return corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, host, L"corvane-sim", nullptr,
                                              password, 0, 0, sim.PortText().c_str());
}

unsigned short ListenOnLoopback(basalt::CWSASocket& socket, int backlog) {
    socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket.BindLL(reinterpret_cast<sockaddr*>(&address), sizeof address);
    socket.Listen(backlog);
    int length = sizeof address;
    socket.GetSockName(reinterpret_cast<sockaddr*>(&address), &length);
    return basalt::CWSASocket::PortOf(address);
}

ScriptedDevice::ScriptedDevice(std::function<void(End&)> script) {
    m_port = ListenOnLoopback(m_listener, 1);
    m_thread = std::thread([this, script] {
        try {
            basalt::CWSASocket connection = m_listener.AcceptLL();
            End end(connection);
            script(end);
            connection.Shutdown(SD_SEND);
        } catch (const basalt::CStdException& e) {
            ADD_FAILURE() << "scripted device: " << e.what();
        }
    });
}

ScriptedDevice::~ScriptedDevice() {
    // A port that never connected leaves the accept waiting: closing the listener ends it.
    m_listener.Close();
    m_thread.join();
}

boost::shared_ptr<const corvane::IPortAddr> ScriptedDevice::Address(const wchar_t* password) const {
    return corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, L"127.0.0.1", L"scripted", nullptr,
                                              password, 0, 0, std::to_wstring(m_port).c_str());
}

void ScriptedDevice::End::Send(const std::string& bytes) {
    basalt::COverlapped record;
    for (size_t done = 0; done < bytes.size();) {
        DWORD sent = 0;
        record.Prepare();
        if (!m_socket.Send(bytes.data() + done, static_cast<DWORD>(bytes.size() - done), sent, record))
            m_socket.GetOverlappedResult(record, sent, true);
        done += sent;
    }
}

std::string ScriptedDevice::End::ReadLine() {
    basalt::COverlapped record;
    std::string line;
    char c = 0;
    while (c != '\n') {
        DWORD received = 0;
        record.Prepare();
        if (!m_socket.Recv(&c, 1, received, record)) m_socket.GetOverlappedResult(record, received, true);
        if (received == 0) break;
        line += c;
    }
    return line;
}

std::string ScriptedDevice::End::Receive(size_t size, DWORD piece, DWORD pauseMs) {
    basalt::COverlapped record;
    std::string bytes(size, '\0');
    size_t done = 0;
    while (done < size) {
        ::Sleep(pauseMs);
        DWORD received = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(piece, size - done));
        record.Prepare();
        if (!m_socket.Recv(&bytes[done], want, received, record)) m_socket.GetOverlappedResult(record, received, true);
        if (received == 0) break;
        done += received;
    }
    bytes.resize(done);
    return bytes;
}

boost::shared_ptr<corvane::CTCPPort> MakePort(const boost::shared_ptr<const corvane::IPortAddr>& address) {
    return boost::shared_ptr<corvane::CTCPPort>(new corvane::CTCPPort(address));
}

void Concurrently(const std::vector<std::function<void()>>& cases) {
    std::vector<std::thread> threads;
    for (const std::function<void()>& one : cases)
        threads.emplace_back([&one] {
            try {
                one();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "unexpected exception: " << e.what();
            }
        });
    for (std::thread& thread : threads) thread.join();
}

}  // namespace tcptest
