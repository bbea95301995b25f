#include "Session.h"

#include <algorithm>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <vector>

namespace sim {

namespace {

// A receiver's greeting names the unit; clients only look for its "}}\r\n" end.
const char kGreeting[] = "{{corvane-sim receiver, serial SIM-0001}}\r\n";
const char kAccepted[] = "READY";
const char kRefused[] = "login incorrect";
// Pause between the bytes of a dribbled text, long enough that each lands in
// a receive of its own on the other side.
const DWORD kDribblePauseMs = 3;

const char* PointName(Point point) {
    switch (point) {
    case Point::greeting: return "greeting";
    case Point::login: return "login prompt";
    case Point::password: return "password prompt";
    case Point::reply: return "reply";
    default: return "start";
    }
}

std::string Count(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu", value);
    return text;
}

}  // namespace

void Log(unsigned id, const std::string& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    if (id) std::printf("[%u] %s\n", id, text.c_str());
    else std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '\r') quoted += "\\r";
        else if (c == '\n') quoted += "\\n";
        else if (c == '"' || c == '\\') (quoted += '\\') += static_cast<char>(c);
        else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            quoted += hex;
        } else quoted += static_cast<char>(c);
    }
    return quoted + "\"";
}

std::string StreamLine(unsigned number) {
    char line[64];
    std::snprintf(line, sizeof line, "%010u ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n", number);
    return line;
}

Session::Session(unsigned id, basalt::CWSASocket socket, const Options& options)
    : m_id(id), m_socket(std::move(socket)), m_options(options) {
    // Receivers write short texts; without this each dribbled byte would wait
    // for the peer's delayed acknowledgement.
    BOOL noDelay = TRUE;
    m_socket.SetOption(IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
}

void Session::Run() {
    bool inDataMode = false;
    unsigned long long loginIn = 0, loginOut = 0;
    try {
        Dialogue();
        if (!m_closed) {
            inDataMode = true;
            loginIn = m_in;
            loginOut = m_out;
            DataMode();
        }
        Log(m_id, m_closedByUs ? "connection closed" : "connection ended by the peer");
    } catch (const basalt::CStdException& e) {
        Log(m_id, std::string("connection ended: ") + e.what());
    }
    if (inDataMode)
        Log(m_id, "data: " + Count(m_in - loginIn) + " bytes in, " + Count(m_out - loginOut) + " bytes out");
    Log(m_id, "totals: " + Count(m_in) + " bytes in, " + Count(m_out) + " bytes out");
}

void Session::Dialogue() {
    if (!m_options.greeting) {
        Log(m_id, "no greeting: the receiver asks for no login");
        return;
    }
    // A receiver writes its greeting and the first prompt in one go, unless
    // the session is to stop between them.
    std::string prompt = Prompt("Login:");
    bool stopsAtGreeting = m_options.closeAfter == Point::greeting || m_options.hangAfter == Point::greeting;
    SendText(stopsAtGreeting ? std::string(kGreeting) : kGreeting + prompt);
    Log(m_id, "sent greeting " + Quote(kGreeting));
    if (StopsAfter(Point::greeting)) return;
    Log(m_id, "sent " + Quote(prompt));
    if (StopsAfter(Point::login)) return;
    std::string line;
    if (!RecvLine(line)) return;
    Log(m_id, "login name " + Quote(line));

    prompt = Prompt("Password:");
    SendText(prompt);
    Log(m_id, "sent " + Quote(prompt));
    if (StopsAfter(Point::password)) return;
    if (!RecvLine(line)) return;
    Log(m_id, "password " + Quote(line));

    std::string reply = m_options.replySet ? m_options.reply
                        : line == m_options.password ? kAccepted : kRefused;
    SendText(reply + "\r\n");
    Log(m_id, "sent reply " + Quote(reply + "\r\n"));
    if (StopsAfter(Point::reply)) return;
    if (reply.compare(0, 2, "RE") != 0) {
        Log(m_id, "login refused: closing");
        CloseGracefully();
    }
}

std::string Session::Prompt(const char* natural) const {
    std::string prompt = natural;
    bool upperNext = true;
    for (char& c : prompt) {
        if (!std::isalpha(static_cast<unsigned char>(c))) continue;
        switch (m_options.promptCase) {
        case PromptCase::upper: c = static_cast<char>(std::toupper(c)); break;
        case PromptCase::lower: c = static_cast<char>(std::tolower(c)); break;
        case PromptCase::mixed:
            c = static_cast<char>(upperNext ? std::tolower(c) : std::toupper(c));
            upperNext = !upperNext;
            break;
        default: break;
        }
    }
    return prompt;
}

bool Session::StopsAfter(Point point) {
    if (m_options.closeAfter == point) {
        Log(m_id, std::string("closing after the ") + PointName(point));
        CloseGracefully();
        return true;
    }
    if (m_options.hangAfter == point) {
        Log(m_id, std::string("silent after the ") + PointName(point));
        HangUntilPeerCloses();
        m_closed = true;
        return true;
    }
    return false;
}

void Session::SendText(const std::string& text) {
    if (!m_options.dribble) return SendAll(text.data(), text.size());
    for (char c : text) {
        SendAll(&c, 1);
        ::Sleep(kDribblePauseMs);
    }
}

void Session::SendAll(const char* data, size_t size) {
    while (size > 0) {
        DWORD sent = 0;
        m_sendRecord.Prepare();
        if (!m_socket.Send(data, static_cast<DWORD>(size), sent, m_sendRecord))
            m_socket.GetOverlappedResult(m_sendRecord, sent, true);
        data += sent;
        size -= sent;
        m_out += sent;
    }
}

size_t Session::RecvSome(char* buffer, size_t size) {
    DWORD received = 0;
    m_recvRecord.Prepare();
    if (!m_socket.Recv(buffer, static_cast<DWORD>(size), received, m_recvRecord))
        m_socket.GetOverlappedResult(m_recvRecord, received, true);
    m_in += received;
    return received;
}

bool Session::RecvLine(std::string& line) {
    for (;;) {
        size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        char buffer[1024];
        size_t received = RecvSome(buffer, sizeof buffer);
        if (received == 0) {
            Log(m_id, "the peer closed during the dialogue");
            m_closed = true;
            return false;
        }
        m_pending.append(buffer, received);
    }
}

void Session::CloseGracefully() {
    try {
        m_socket.Shutdown(SD_SEND);
        char buffer[4096];
        while (RecvSome(buffer, sizeof buffer) > 0) {}
    } catch (const basalt::CStdException&) {
        // The peer went first, abruptly: there is nothing left to be orderly about.
    }
    m_socket.Close();
    m_closed = true;
    m_closedByUs = true;
}

void Session::HangUntilPeerCloses() {
    char buffer[4096];
    while (RecvSome(buffer, sizeof buffer) > 0) {}
}

void Session::DataMode() {
    switch (m_options.mode) {
    case Mode::echo:
        Log(m_id, "echo: sending back what arrives");
        Echo();
        break;
    case Mode::stream:
        Log(m_id, "stream: " + (m_options.rate ? Count(m_options.rate) + " lines per second"
                                               : std::string("as fast as the link takes")));
        Stream();
        break;
    case Mode::sink:
        Log(m_id, "sink: counting what arrives");
        Sink();
        break;
    }
}

void Session::Echo() {
    if (!m_pending.empty()) SendAll(m_pending.data(), m_pending.size());
    m_pending.clear();
    std::vector<char> buffer(0x10000);
    while (size_t received = RecvSome(buffer.data(), buffer.size())) SendAll(buffer.data(), received);
}

void Session::Sink() {
    m_pending.clear();
    std::vector<char> buffer(0x10000);
    while (RecvSome(buffer.data(), buffer.size()) > 0) {}
}

void Session::Stream() {
    m_pending.clear();
    const unsigned rate = m_options.rate;
    // Flat out, lines go in batches of about 64 KiB; at a set rate, whatever is due.
    const unsigned batchLines = 0x10000 / static_cast<unsigned>(StreamLine(0).size());
    ULONGLONG start = ::GetTickCount64();
    unsigned sent = 0;
    std::string batch;
    char scratch[4096];
    for (;;) {
        ULONGLONG elapsed = ::GetTickCount64() - start;
        unsigned due = rate ? static_cast<unsigned>(elapsed * rate / 1000) + 1 : sent + batchLines;
        if (m_options.lines) due = std::min(due, m_options.lines);
        batch.clear();
        for (; sent < due; ++sent) batch += StreamLine(sent);
        SendAll(batch.data(), batch.size());
        if (m_options.lines && sent == m_options.lines) {
            // A device that has had its say and hangs up at once.
            Log(m_id, "stream: " + Count(sent) + " lines sent, closing");
            CloseGracefully();
            return;
        }
        // Until the next line is due, watch for the peer leaving.
        DWORD wait = 0;
        if (rate) {
            ULONGLONG next = static_cast<ULONGLONG>(sent) * 1000 / rate;
            elapsed = ::GetTickCount64() - start;
            wait = next > elapsed ? static_cast<DWORD>(next - elapsed) : 0;
        }
        if (m_socket.Select(true, false, false, wait) > 0 && RecvSome(scratch, sizeof scratch) == 0) break;
    }
    Log(m_id, "stream: " + Count(sent) + " lines sent");
}

}  // namespace sim
