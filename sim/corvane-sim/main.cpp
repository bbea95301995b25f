// corvane-sim: a simulated receiver on a loopback TCP port, for trying TCP
// clients without an instrument. It greets, asks for a login and a password,
// answers, then echoes, streams or sinks data; options make it misbehave.
#include "Session.h"

#include <Detached.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>

namespace {

const char kHelp[] =
    "usage: corvane-sim [OPTIONS]\n"
    "A simulated receiver listening on 127.0.0.1. It prints one line per event;\n"
    "the first line is \"listening on 127.0.0.1:PORT\".\n"
    "\n"
    "  --port N              TCP port to listen on; 0 (default) picks a free one\n"
    "  --no-greeting         skip the whole login dialogue\n"
    "  --password P          the password a login must give (default: empty)\n"
    "  --reply TEXT          answer every login with TEXT instead of \"READY\" or\n"
    "                        \"login incorrect\"; a reply not starting with RE refuses\n"
    "  --prompt-case C       natural (Login:), upper, lower or mixed letter case\n"
    "  --close-after P       close the connection after P: greeting, login, password\n"
    "                        (the prompts) or reply\n"
    "  --hang-after P        fall silent after P (greeting, login or password),\n"
    "                        keeping the connection open\n"
    "  --dribble             send the dialogue one byte at a time\n"
    "  --mode M              after login: echo (default), stream or sink\n"
    "  --rate N              stream mode: lines per second (default 10; 0 = flat out)\n"
    "  --lines N             stream mode: close the connection after N lines\n"
    "  --once                exit when the first connection ends\n"
    "  --help                this text\n";

std::string Utf8(const wchar_t* text) { return basalt::ustring(text).ToCodePage(CP_UTF8); }

bool ParsePoint(const std::string& text, sim::Point& point) {
    if (text == "greeting") point = sim::Point::greeting;
    else if (text == "login") point = sim::Point::login;
    else if (text == "password") point = sim::Point::password;
    else if (text == "reply") point = sim::Point::reply;
    else return false;
    return true;
}

bool ParseNumber(const std::string& text, unsigned long limit, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value <= limit && text[0] != '-';
}

// Answers 0 when the options are good, else the exit code to leave with.
int ParseOptions(int argc, wchar_t** argv, sim::Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = Utf8(argv[i]);
        if (name == "--help") {
            std::fputs(kHelp, stdout);
            return -1;
        }
        if (name == "--no-greeting") { options.greeting = false; continue; }
        if (name == "--dribble") { options.dribble = true; continue; }
        if (name == "--once") { options.once = true; continue; }
        static const char* const kValued[] = {"--port", "--password", "--reply", "--prompt-case",
                                              "--close-after", "--hang-after", "--mode", "--rate", "--lines"};
        bool valued = false;
        for (const char* known : kValued) valued = valued || name == known;
        if (!valued) {
            std::fprintf(stderr, "corvane-sim: unknown option %s (see --help)\n", name.c_str());
            return 1;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "corvane-sim: %s needs a value (see --help)\n", name.c_str());
            return 1;
        }
        std::string value = Utf8(argv[++i]);
        unsigned long number = 0;
        bool good = true;
        if (name == "--port") {
            good = ParseNumber(value, 65535, number);
            options.port = static_cast<unsigned short>(number);
        } else if (name == "--password") {
            options.password = value;
        } else if (name == "--reply") {
            options.replySet = true;
            options.reply = value;
        } else if (name == "--prompt-case") {
            if (value == "natural") options.promptCase = sim::PromptCase::natural;
            else if (value == "upper") options.promptCase = sim::PromptCase::upper;
            else if (value == "lower") options.promptCase = sim::PromptCase::lower;
            else if (value == "mixed") options.promptCase = sim::PromptCase::mixed;
            else good = false;
        } else if (name == "--close-after") {
            good = ParsePoint(value, options.closeAfter);
        } else if (name == "--hang-after") {
            good = ParsePoint(value, options.hangAfter) && options.hangAfter != sim::Point::reply;
        } else if (name == "--mode") {
            if (value == "echo") options.mode = sim::Mode::echo;
            else if (value == "stream") options.mode = sim::Mode::stream;
            else if (value == "sink") options.mode = sim::Mode::sink;
            else good = false;
        } else if (name == "--lines") {
            good = ParseNumber(value, 100000000, number) && number > 0;
            options.lines = static_cast<unsigned>(number);
        } else {  // --rate
            good = ParseNumber(value, 1000000, number);
            options.rate = static_cast<unsigned>(number);
        }
        if (!good) {
            std::fprintf(stderr, "corvane-sim: bad value %s for %s (see --help)\n", value.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}

std::string Endpoint(const sockaddr_in& address) {
    char text[32];
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.sin_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                  basalt::CWSASocket::PortOf(address));
    return text;
}

int Serve(const sim::Options& options) {
    basalt::CWinsock winsock;
    basalt::CWSASocket listener;
    listener.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener.BindLL(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listener.Listen();
    int length = sizeof address;
    listener.GetSockName(reinterpret_cast<sockaddr*>(&address), &length);
    sim::Log(0, "listening on " + Endpoint(address));

    for (unsigned id = 1;; ++id) {
        sockaddr_in peer = {};
        int peerLength = sizeof peer;
        basalt::CWSASocket connection = listener.AcceptLL(reinterpret_cast<sockaddr*>(&peer), &peerLength);
        sim::Log(id, "connection from " + Endpoint(peer));
        if (options.once) {
            sim::Session(id, std::move(connection), options).Run();
            return 0;
        }
        // Each connection on its own thread, so a client may reconnect while
        // an earlier session is still winding down.
        auto socket = std::make_shared<basalt::CWSASocket>(std::move(connection));
        sim::RunDetached([id, &options, socket] {
            try {
                sim::Session(id, std::move(*socket), options).Run();
            } catch (const basalt::CStdException& e) {
                sim::Log(id, std::string("session failed: ") + e.what());
            }
        });
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    sim::Options options;
    int code = ParseOptions(argc, argv, options);
    if (code) return code < 0 ? 0 : code;
    try {
        return Serve(options);
    } catch (const basalt::CStdException& e) {
        std::fprintf(stderr, "corvane-sim: %s\n", e.what());
        return 2;
    }
}
