// A serial client: serial.exe PORT PEER opens two COM ports joined by a
// null-modem cable and sends a line from the first to the second. With one
// instrument that echoes, open only its port and pass it as both.
#include "Session.h"

static boost::shared_ptr<corvane::IPort> MakePort(const wchar_t* name) {
    boost::shared_ptr<const corvane::IPortAddr> address = corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portSerial, 0, name, name, nullptr, nullptr, 0, 0, nullptr);
    return corvane::IPort::CreateInstance(address, corvane::driverDefault);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::printf("usage: serial PORT PEER (never COM1 on a machine whose console it is)\n");
        return 1;
    }
    boost::shared_ptr<corvane::IPort> port = MakePort(argv[1]), peer = MakePort(argv[2]);
    if (!port || !peer) {
        std::printf("FAILED: no serial driver\n");
        return 1;
    }
    try {
        port->Open();
        peer->Open();
        // The settings are a property set; settings->Save() gives its text form.
        boost::shared_ptr<corvane::IPropertySet> settings = port->GetSettings();
        boost::shared_ptr<corvane::IProperty> baud = settings ? settings->Find(L"BaudRate") : nullptr;
        if (baud) std::printf("%ls at %lu baud\n", argv[1], static_cast<ULONG>(baud->GetValue()));
        bool ok = example::EchoWithEvent(*port, *peer, "hello, notified by an event\r\n") &&
                  example::EchoWithMessages(*port, *peer, "hello, notified by a message\r\n");
        port->Close();
        peer->Close();
        if (!ok) std::printf("FAILED: a line did not cross the cable\n");
        return ok ? 0 : 1;
    } catch (const basalt::CStdException& e) {
        return example::Fail("serial", e);
    }
}
