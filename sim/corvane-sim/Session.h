#pragma once
// One connection to the simulated receiver: the login dialogue, then the
// data mode. Every event is printed as one line, so a person (or a test that
// reads the output) can follow the session.
#include <Basalt.h>

#include <string>

namespace sim {

// Points of the dialogue after which the receiver closes or falls silent.
enum class Point { none, greeting, login, password, reply };
enum class Mode { echo, stream, sink };
enum class PromptCase { natural, upper, lower, mixed };

struct Options {
    unsigned short port = 0;         // 0: the system picks one
    bool greeting = true;            // false: the receiver asks for no login at all
    std::string password;            // what a login must send to be accepted
    bool replySet = false;           // true: answer every login with reply
    std::string reply;
    PromptCase promptCase = PromptCase::natural;
    Point closeAfter = Point::none;  // close the connection after this point
    Point hangAfter = Point::none;   // send nothing more after this point
    bool dribble = false;            // dialogue texts one byte at a time
    Mode mode = Mode::echo;
    unsigned rate = 10;              // stream lines per second; 0: as fast as the link takes
    unsigned lines = 0;              // stream: close after this many lines; 0: never
    bool once = false;               // exit after the first connection
};

// Prints "[id] text" (id 0: no prefix) on standard output and flushes it.
void Log(unsigned id, const std::string& text);
// The text with control characters written as \r, \n, \xNN, in quotes.
std::string Quote(const std::string& text);

// The numbered line the stream mode sends: "0000000042 ABC...XYZ0123456789\r\n".
std::string StreamLine(unsigned number);

class Session {
public:
    Session(unsigned id, basalt::CWSASocket socket, const Options& options);
    // Runs the dialogue and the data mode until either side ends the
    // connection; never throws.
    void Run();

private:
    // Sets m_closed when the connection ended during it.
    void Dialogue();
    void DataMode();
    void Echo();
    void Stream();
    void Sink();

    std::string Prompt(const char* natural) const;
    // Sends a dialogue text (byte by byte when dribbling).
    void SendText(const std::string& text);
    void SendAll(const char* data, size_t size);
    // Receives what is there (waiting for at least one byte); 0 when the peer closed.
    size_t RecvSome(char* buffer, size_t size);
    // One line without its CR LF; false when the peer closed first.
    bool RecvLine(std::string& line);
    // True when the dialogue stops at this point (closing or falling silent).
    bool StopsAfter(Point point);
    // Shuts our side down and reads until the peer closes, so the peer sees an
    // orderly end of stream and never a reset for bytes we had not read.
    void CloseGracefully();
    void HangUntilPeerCloses();

    unsigned m_id;
    basalt::CWSASocket m_socket;
    const Options& m_options;
    basalt::CWSAOverlapped m_sendRecord;
    basalt::CWSAOverlapped m_recvRecord;
    std::string m_pending;  // bytes received past the last dialogue line
    unsigned long long m_in = 0;
    unsigned long long m_out = 0;
    bool m_closed = false;      // the session is over
    bool m_closedByUs = false;  // ... because the receiver ended it
};

}  // namespace sim
