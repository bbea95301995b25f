// The serial port end to end: a real COM port on the null-modem cable, its
// peer at the far end.
#include "SerialRig.h"

#include <thread>

using namespace corvane;
using nullmodem::CCable;
using nullmodem::CPeer;
using serialtest::CFilteredPort;
using testkit::CPortReader;
using testkit::CRecorder;
using testkit::ErrorOf;
using testkit::Eventually;
using testkit::Pattern;

namespace {

// The tty keeps its settings while the cable lies: each test starts from a
// plain 38400 8N1 line without flow control.
void ResetLine() {
    basalt::CCommPort device;
    device.Open((L"\\\\.\\" + nullmodem::PortName()).c_str(), FILE_FLAG_OVERLAPPED);
    DCB dcb = {};
    device.GetCommState(dcb);
    dcb.BaudRate = 38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    device.SetCommState(dcb);
    device.EscapeCommFunction(SETXON);
    device.PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
}

bool Line(IPort& port, const wchar_t* name) {
    _variant_t value = port.GetStatus()->Find(name)->GetValue();
    return value.vt == VT_BOOL && V_BOOL(&value) != VARIANT_FALSE;
}

boost::shared_ptr<IPropertySet> OneSetting(const wchar_t* name, VARTYPE vt, const _variant_t& value) {
    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    set->AddCopy(CProperty(name, IProperty::accessFull, vt, 0, 0, value));
    return set;
}

boost::shared_ptr<IPropertySet> Command(DWORD code) {
    return OneSetting(L"Func", VT_UI4, _variant_t(static_cast<unsigned long>(code)));
}

// The rates the port's settings offer.
std::vector<std::wstring> RateNames(IPort& port) {
    boost::shared_ptr<IPropertySet> settings = port.GetSettings();
    IOptionSet& options = settings->Find(L"BaudRate")->GetOptions();
    std::vector<std::wstring> rates;
    for (DWORD i = 0; i < options.GetCount(); ++i) rates.push_back(std::wstring(options.GetAt(i)->GetName(1033)));
    return rates;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_RIG();
        cable.reset(new CCable);
        cable->Reset();
        ResetLine();
        peer.reset(new CPeer);
    }

    void TearDown() override {
        // A worker that never ends would hang every later test: name it here.
        testkit::WithinDeadline(10000, "closing the port", [&] { port.reset(); });
        peer.reset();
        if (cable) cable->Reset();
    }

    void MakePort() { port.reset(new CSerialPort(serialtest::RigAddress())); }
    // Wine compares the lines (and line errors) with those it saw when a wait
    // began: change them once the worker waits, and wait until it has
    // handled the change and waits again.
    void WhileWaiting(CFilteredPort& device, const std::function<void()>& change) {
        ASSERT_TRUE(Eventually([&] { return device.WaitsIssued() > 0; }));
        int waits = device.WaitsIssued();
        change();
        EXPECT_TRUE(Eventually([&] { return device.WaitsIssued() > waits; }));
    }
    CFilteredPort& MakeFilteredPort() {
        CFilteredPort* device = new CFilteredPort;
        port.reset(new CSerialPort(serialtest::RigAddress(), std::unique_ptr<basalt::CCommPort>(device)));
        return *device;
    }

    std::unique_ptr<CCable> cable;
    std::unique_ptr<CPeer> peer;
    boost::shared_ptr<CSerialPort> port;
};

}  // namespace

TEST_F(SerialPortTest, OpenReportsTheLinesAtOnceAndSmallMessagesPassBothWays) {
    peer->Escape(SETRTS);
    peer->Escape(SETDTR);
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(port->IsOpen());
    // No line changed: the receiving worker reports the status it starts with.
    ASSERT_TRUE(events->WaitFor(eventStateChanged, 1, 2000));
    EXPECT_TRUE(Line(*port, L"CTS"));
    EXPECT_TRUE(Line(*port, L"DSR"));
    EXPECT_TRUE(Line(*port, L"RLSD"));
    EXPECT_FALSE(Line(*port, L"RING"));
    boost::shared_ptr<IPropertySet> status = port->GetStatus();
    ASSERT_EQ(status->GetCount(), 4u);
    EXPECT_EQ(std::wstring(status->GetAt(2)->GetName()), L"RING");
    EXPECT_EQ(status->GetAt(0)->GetAccessPolicy(), IProperty::accessReadOnly);

    EXPECT_EQ(port->Send("hello", 5), 5u);
    EXPECT_EQ(peer->Read(5, 3000), "hello");
    EXPECT_TRUE(events->WaitFor(eventOutgoingEmpty));

    CPortReader reader(*port);
    peer->Write("world!");
    EXPECT_EQ(reader.Receive(6, 5000), "world!");
    EXPECT_EQ(events->Count(eventIncomingOverflow), 0u);
    EXPECT_EQ(events->Count(eventError), 0u);
}

TEST_F(SerialPortTest, TransfersLargerThanTheStreamsArriveWhole) {
    MakePort();
    port->Open();
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    ASSERT_EQ(incoming, 0x20000u);
    ASSERT_EQ(outgoing, 0x10000u);

    // Out: five times the outgoing stream, queued as fast as it takes them.
    const std::string out = Pattern(5 * outgoing, 1);
    std::string arrived;
    std::thread farEnd([&] { arrived = peer->Read(out.size(), 20000); });
    size_t queued = 0;
    DWORD start = ::GetTickCount();
    while (queued < out.size() && ::GetTickCount() - start < 20000) {
        queued += port->Send(out.data() + queued, static_cast<DWORD>(out.size() - queued));
        if (queued < out.size()) ::Sleep(1);
    }
    farEnd.join();
    ASSERT_EQ(arrived.size(), out.size());
    EXPECT_TRUE(arrived == out) << "the bytes arrived out of order or changed";

    // In: three times the incoming stream, read while the peer writes.
    const std::string in = Pattern(3 * incoming, 7);
    CPortReader reader(*port);
    std::thread writer([&] { peer->Write(in); });
    std::string received = reader.Receive(in.size(), 20000);
    writer.join();
    ASSERT_EQ(received.size(), in.size());
    EXPECT_TRUE(received == in) << "the bytes arrived out of order or changed";
}

TEST_F(SerialPortTest, AFullIncomingStreamDropsTheNewestBytes) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->SetBufferSize(1024, 0);
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 1024u);
    EXPECT_EQ(outgoing, 0x10000u);
    port->Open();
    const std::string sent = Pattern(4000, 3);
    peer->Write(sent);
    ASSERT_TRUE(events->WaitFor(eventIncomingOverflow));
    ASSERT_TRUE(Eventually([&] { return port->Recv(nullptr, 0) == 1024; }));
    EXPECT_EQ(CPortReader(*port).Take(), sent.substr(0, 1024));
}

TEST_F(SerialPortTest, LineChangesArriveAsEventsAndInTheStatus) {
    CFilteredPort& device = MakeFilteredPort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(eventStateChanged));
    EXPECT_FALSE(Line(*port, L"CTS"));

    auto change = [&](const std::function<void()>& what) {
        size_t seen = events->Count(eventStateChanged);
        WhileWaiting(device, what);
        EXPECT_TRUE(events->WaitFor(eventStateChanged, seen + 1));
    };
    change([&] { peer->Escape(SETRTS); });
    EXPECT_TRUE(Line(*port, L"CTS"));
    EXPECT_FALSE(Line(*port, L"DSR"));
    change([&] { peer->Escape(SETDTR); });
    EXPECT_TRUE(Line(*port, L"DSR"));
    EXPECT_TRUE(Line(*port, L"RLSD"));
    change([&] { cable->SetRing(CCable::port, true); });
    EXPECT_TRUE(Line(*port, L"RING"));
    change([&] { cable->SetRing(CCable::port, false); });
    change([&] { peer->Escape(CLRRTS); });
    EXPECT_FALSE(Line(*port, L"CTS"));
    EXPECT_FALSE(Line(*port, L"RING"));
    EXPECT_TRUE(Line(*port, L"DSR"));
}

// Wine raises EV_ERR for a framing error and EV_BREAK for a break; the
// worker clears the line's errors on EV_ERR, and the break with them.
TEST_F(SerialPortTest, LineErrorsAreClearedWithoutEndingTheWorker) {
    CFilteredPort& device = MakeFilteredPort();
    device.cable = cable.get();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(eventStateChanged));

    WhileWaiting(device, [&] { cable->AddBreak(CCable::port); });
    EXPECT_EQ(device.ErrorsReported(), 0u) << "a break alone only wakes the worker";
    WhileWaiting(device, [&] { cable->AddFramingError(CCable::port); });
    EXPECT_EQ(device.ErrorsReported(), static_cast<DWORD>(CE_FRAME | CE_BREAK));
    EXPECT_EQ(device.BreaksCleared(), 1);

    CPortReader reader(*port);
    peer->Write("still here");
    EXPECT_EQ(reader.Receive(10, 3000), "still here");
    EXPECT_EQ(events->Count(eventError), 0u);
    EXPECT_EQ(events->Count(eventTerminated), 0u);
}

TEST_F(SerialPortTest, EscapeCommFunctionDrivesTheLinesThePeerSees) {
    MakePort();
    port->Open();
    boost::shared_ptr<IPropertySet> args = port->Escape(L"EscapeCommFunction", boost::shared_ptr<IPropertySet>());
    ASSERT_TRUE(args->SetValue(L"Func", _variant_t(static_cast<long>(SETDTR))));
    EXPECT_FALSE(port->Escape(L"EscapeCommFunction", args));
    EXPECT_TRUE(Eventually([&] { return (peer->ModemStatus() & (MS_DSR_ON | MS_RLSD_ON)) == (MS_DSR_ON | MS_RLSD_ON); }));
    EXPECT_EQ(peer->ModemStatus() & MS_CTS_ON, 0u);

    port->Escape(L"EscapeCommFunction", Command(SETRTS));
    EXPECT_TRUE(Eventually([&] { return (peer->ModemStatus() & MS_CTS_ON) != 0; }));
    port->Escape(L"EscapeCommFunction", Command(CLRDTR));
    port->Escape(L"EscapeCommFunction", Command(CLRRTS));
    EXPECT_TRUE(Eventually([&] { return peer->ModemStatus() == 0; }));

    // Without "Func", or with a code the driver does not know.
    EXPECT_EQ(ErrorOf([&] { port->Escape(L"EscapeCommFunction", boost::shared_ptr<IPropertySet>(new CPropertySet)); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    basalt::ustring function;
    EXPECT_NE(ErrorOf([&] { port->Escape(L"EscapeCommFunction", Command(77)); }, &function), 0u);
    EXPECT_EQ(function, basalt::ustring(L"EscapeCommFunction"));
}

TEST_F(SerialPortTest, HeldOutputWithoutProgressIsAWriteFaultOfTheSendingWorker) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    // Hardware flow control with the peer's RTS low: the port's CTS holds its output.
    port->SetSettings(OneSetting(L"fOutxCtsFlow", VT_BOOL, _variant_t(true)));
    ASSERT_TRUE(Eventually([&] { return cable->IsStopped(CCable::port); }));
    EXPECT_EQ(port->Send("0123456789abcdef", 16), 16u);

    // The worker gives up on its own; a stalled send is told as an error.
    ASSERT_TRUE(events->WaitFor(eventError, 1, 20000));
    basalt::ustring function;
    EXPECT_EQ(ErrorOf([&] { port->Recv(nullptr, 0); }, &function), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(function, basalt::ustring(L"CSerialPort::SendThreadProcFn"));
    EXPECT_EQ(events->Count(eventError), 1u);
    // Only the sending worker ended; the error stays for every later call.
    EXPECT_EQ(events->Count(eventTerminated), 0u);
    EXPECT_EQ(ErrorOf([&] { port->Send("x", 1); }), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(ErrorOf([&] { port->Recv(nullptr, 0); }), static_cast<DWORD>(ERROR_WRITE_FAULT));

    // Open starts again from a clean port.
    port->SetSettings(OneSetting(L"fOutxCtsFlow", VT_BOOL, _variant_t(false)));
    port->Open();
    EXPECT_EQ(port->Send("ok", 2), 2u);
    EXPECT_EQ(peer->Read(2, 3000), "ok");
}

TEST_F(SerialPortTest, ATolerantPortWaitsForAHeldOutputAsLongAsItTakes) {
    MakePort();
    DWORD value = 7;
    ASSERT_TRUE(port->IoControl(0, &value));
    EXPECT_EQ(value, 0u);
    value = 1;
    ASSERT_TRUE(port->IoControl(1, &value));
    ASSERT_TRUE(port->IoControl(0, &value));
    EXPECT_EQ(value, 1u);
    EXPECT_FALSE(port->IoControl(2, &value));

    port->Open();
    // The peer stops taking bytes.
    cable->SetHold(CCable::port, true);
    ASSERT_TRUE(Eventually([&] { return cable->IsStopped(CCable::port); }));
    EXPECT_EQ(port->Send("patience", 8), 8u);
    ::Sleep(2600);
    EXPECT_EQ(ErrorOf([&] { port->Recv(nullptr, 0); }), 0u);
    // A purge that only aborts leaves the queued bytes where they are.
    port->Purge(PURGE_TXABORT);
    cable->SetHold(CCable::port, false);
    EXPECT_EQ(peer->Read(8, 3000), "patience");
}

TEST_F(SerialPortTest, CloseEndsAHeldWrite) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    cable->SetHold(CCable::port, true);
    ASSERT_TRUE(Eventually([&] { return cable->IsStopped(CCable::port); }));
    std::string block = Pattern(4096, 5);
    port->Send(block.data(), static_cast<DWORD>(block.size()));
    ::Sleep(200);
    testkit::WithinDeadline(10000, "Close with a held write", [&] { port->Close(); });
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(events->Count(eventError), 0u);
    EXPECT_EQ(events->Count(eventTerminated), 1u);
}

TEST_F(SerialPortTest, AReceivingWorkerErrorIsRaisedByTheNextSend) {
    CFilteredPort& device = MakeFilteredPort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(eventStateChanged));
    ASSERT_TRUE(Eventually([&] { return device.WaitsIssued() > 0; }));
    device.FailNext(L"GetCommModemStatus", ERROR_GEN_FAILURE);
    peer->Escape(SETRTS);
    ASSERT_TRUE(events->WaitFor(eventError));
    ASSERT_TRUE(events->WaitFor(eventTerminated));
    std::vector<EEventType> order = events->Events();
    EXPECT_EQ(order.back(), eventTerminated);

    basalt::ustring function;
    EXPECT_EQ(ErrorOf([&] { port->Send("x", 1); }, &function), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(function, basalt::ustring(L"GetCommModemStatus"));
    EXPECT_EQ(ErrorOf([&] { port->Recv(nullptr, 0); }), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(port->IsOpen());

    port->Open();
    EXPECT_EQ(port->Send("x", 1), 1u);
    EXPECT_EQ(peer->Read(1, 3000), "x");
}

TEST_F(SerialPortTest, CloseAndReopenKeepTheNotices) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(eventStateChanged));
    peer->Write("one");
    ASSERT_EQ(CPortReader(*port).Receive(3, 5000), "one");
    port->Close();
    EXPECT_EQ(events->Count(eventTerminated), 1u);
    port->Close();  // harmless on a closed port

    basalt::ustring function;
    EXPECT_EQ(ErrorOf([&] { port->Send("x", 1); }, &function), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(function, basalt::ustring(L"CSerialPort::Send"));
    EXPECT_EQ(ErrorOf([&] { port->Recv(nullptr, 0); }, &function), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(function, basalt::ustring(L"CSerialPort::Recv"));
    EXPECT_EQ(ErrorOf([&] { port->GetStatus(); }, &function), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(function, basalt::ustring(L"CSerialPort::GetStatus"));

    events->Clear();
    port->Open();
    EXPECT_TRUE(events->WaitFor(eventStateChanged));
    CPortReader reader(*port);
    peer->Write("two");
    EXPECT_EQ(reader.Receive(3, 5000), "two");
    // Opening an open port reopens it.
    port->Open();
    EXPECT_TRUE(events->WaitFor(eventTerminated));
    EXPECT_TRUE(port->IsOpen());
}

TEST_F(SerialPortTest, PurgeEmptiesWhatItNamesAndNeverAbortsTheWorkers) {
    CFilteredPort& device = MakeFilteredPort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    peer->Write("0123456789");
    ASSERT_TRUE(Eventually([&] { return port->Recv(nullptr, 0) == 10; }));
    port->Purge(PURGE_TXCLEAR | PURGE_TXABORT);
    EXPECT_EQ(port->Recv(nullptr, 0), 10u);
    EXPECT_EQ(device.Purged().back(), static_cast<DWORD>(PURGE_TXCLEAR));
    port->Purge(PURGE_RXCLEAR);
    EXPECT_EQ(port->Recv(nullptr, 0), 0u);
    EXPECT_EQ(events->Count(eventIncomingEmpty), 1u);
    EXPECT_EQ(events->Count(eventOutgoingEmpty), 1u);
    // The abort bits alone reach neither the streams nor the device.
    size_t purges = device.Purged().size();
    port->Purge(PURGE_TXABORT | PURGE_RXABORT);
    EXPECT_EQ(device.Purged().size(), purges);
}

TEST_F(SerialPortTest, SetSettingsChangesOnlyWhatItNames) {
    CFilteredPort& device = MakeFilteredPort();
    port->Open();
    boost::shared_ptr<IPropertySet> before = port->GetSettings();
    ASSERT_TRUE(before->Find(L"BaudRate"));
    port->SetSettings(OneSetting(L"BaudRate", VT_UI4, _variant_t(4800UL)));
    boost::shared_ptr<IPropertySet> after = port->GetSettings();
    ASSERT_EQ(after->GetCount(), before->GetCount());
    for (DWORD i = 0; i < before->GetCount(); ++i) {
        std::wstring name(before->GetAt(i)->GetName());
        if (name == L"BaudRate") continue;
        EXPECT_EQ(std::wstring(after->GetAt(i)->GetValueText(1033)), std::wstring(before->GetAt(i)->GetValueText(1033)))
            << name;
    }
    EXPECT_EQ(std::wstring(after->Find(L"BaudRate")->GetValueText(1033)), L"4800");
    COMMTIMEOUTS timeouts = {};
    device.GetCommTimeouts(timeouts);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 100u);

    // A setting takes effect on the line: DTR enabled is DSR at the peer.
    port->SetSettings(OneSetting(L"fDtrControl", VT_UI4, _variant_t(static_cast<unsigned long>(DTR_CONTROL_ENABLE))));
    EXPECT_TRUE(Eventually([&] { return (peer->ModemStatus() & MS_DSR_ON) != 0; }));
    EXPECT_EQ(ErrorOf([&] { port->SetSettings(boost::shared_ptr<IPropertySet>()); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SerialPortTest, TheProbeOffersWhatTheDriverAcceptsBesidesWhatItReports) {
    {
        MakePort();
        port->Open();
        // Wine takes every rate, also those above the Win32 bits.
        std::vector<std::wstring> rates = RateNames(*port);
        EXPECT_EQ(rates.size(), 23u);
        EXPECT_EQ(rates.back(), L"921600");
        port->Close();
    }
    CFilteredPort& device = MakeFilteredPort();
    device.acceptedRates = {38400, 9600, 115200};
    device.replaceSettableBaud = true;
    device.settableBaud = BAUD_9600;
    port->Open();
    EXPECT_EQ(RateNames(*port), (std::vector<std::wstring>{L"9600", L"38400", L"115200"}));
    // 23 trial rates, the saved state once more.
    EXPECT_EQ(device.SetCommStateCalls(), 24);
    port->Close();
    // Settings live in the device: a closed port has none to give.
    EXPECT_EQ(ErrorOf([&] { port->GetSettings(); }), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SerialPortTest, AFailedOpenLeavesThePortClosed) {
    CFilteredPort& device = MakeFilteredPort();
    device.FailNext(L"SetupComm", ERROR_NOT_SUPPORTED);
    port->Open();  // a driver may refuse queue sizes
    EXPECT_TRUE(port->IsOpen());

    port->Close();  // its receiving worker sets the mask on the way out
    device.FailNext(L"SetCommMask", ERROR_ACCESS_DENIED);
    basalt::ustring function;
    EXPECT_EQ(ErrorOf([&] { port->Open(); }, &function), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(function, basalt::ustring(L"SetCommMask"));
    EXPECT_FALSE(port->IsOpen());
    port->Open();
    EXPECT_TRUE(port->IsOpen());

    CSerialPort missing(boost::shared_ptr<const IPortAddr>(new CSerialPortAddr(L"COM97", L"")));
    EXPECT_NE(ErrorOf([&] { missing.Open(); }, &function), 0u);
    EXPECT_EQ(function, basalt::ustring(L"CreateFile"));
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(SerialPortTest, PurgingAndClosingDuringTrafficLeaveThePortWorking) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(events->WaitFor(eventStateChanged));

    // The peer streams while the client keeps flushing what arrives: each
    // purge may fall between the worker's look at the queue and its read.
    volatile bool streaming = true;
    std::thread writer([&] {
        const std::string chunk = Pattern(256, 3);
        while (streaming) peer->Write(chunk);
    });
    for (int i = 0; i < 200; ++i) {
        port->Purge(PURGE_RXCLEAR);
        ::Sleep(i % 3);
    }
    streaming = false;
    writer.join();
    EXPECT_EQ(events->Count(eventError), 0u) << "a purge broke the receiving worker";

    // Still alive both ways: the last words after the purges arrive whole.
    ::Sleep(200);
    port->Purge(PURGE_RXCLEAR);
    peer->Write("after the purge");
    EXPECT_EQ(CPortReader(*port).Receive(15, 5000), "after the purge");
    EXPECT_EQ(port->Send("ok", 2), 2u);
    EXPECT_EQ(peer->Read(2, 3000), "ok");

    // Close while bytes pour in ends the workers, whatever they were doing.
    streaming = true;
    std::thread again([&] {
        const std::string chunk = Pattern(256, 5);
        while (streaming) peer->Write(chunk);
    });
    ::Sleep(50);
    port->Purge(PURGE_RXCLEAR);
    port->Close();
    streaming = false;
    again.join();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(events->Count(eventTerminated), 1u);
}

TEST_F(SerialPortTest, AClientsWildcardDeregistrationLeavesTheSenderAwake) {
    MakePort();
    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*port);
    port->Open();
    ASSERT_TRUE(port->DeregisterNotice(boost::shared_ptr<INotice>(), eventAll));
    for (const char* round : {"first", "second"}) {
        ASSERT_EQ(port->Send(round, 5), 5u);
        EXPECT_EQ(peer->Read(5, 3000), std::string(round, 5));
    }
}
