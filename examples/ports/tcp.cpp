// A TCP client: tcp.exe HOST PORT [PASSWORD] opens a receiver on the network,
// logs in when it asks, and echoes a line (the receiver echoes).
#include "Session.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::printf("usage: tcp HOST PORT [PASSWORD]\n");
        return 1;
    }
    // physicalName is the host, service the port number, password the login's answer.
    boost::shared_ptr<const corvane::IPortAddr> address = corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portTCP, 0, argv[1], L"receiver", nullptr, argc > 3 ? argv[3] : L"", 0, 0, argv[2]);
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    // A TCP port has no settings: GetSettings answers an empty pointer, not a set.
    if (port && !port->GetSettings()) std::printf("a TCP port has no settings\n");
    return example::Run(port, "the TCP receiver");
}
