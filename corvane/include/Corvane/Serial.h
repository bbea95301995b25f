#pragma once
// The COM port driver. Clients make its ports with IPort::CreateInstance for
// a serial address; what the class offers them directly is its settings
// helper, which turns a driver's capabilities and a DCB into the property set
// that GetSettings returns.
#include <Corvane/Ports.h>

#include <memory>

namespace corvane {

class CSerialPort : public IPort, public basalt::CMultiThreadObject {
public:
    // The settings of a COM port, one property per DCB field, named as the
    // field ("BaudRate", "fOutxCtsFlow", "Parity"...): the values come from
    // dcb, the offered values and which fields appear at all from what
    // properties says the driver can do. Settings the driver can change get
    // policy, the others are read-only.
    static CORVANE_API boost::shared_ptr<IPropertySet> CreatePropertySet(const COMMPROP& properties,
                                                                         const DCB& dcb,
                                                                         IProperty::EAccessPolicy policy);

    // The library's own: ports are made by IPort::CreateInstance.
    explicit CSerialPort(boost::shared_ptr<const IPortAddr> address);
    // With a device of the caller's making (a filter or a fake in front of the COM port).
    CSerialPort(boost::shared_ptr<const IPortAddr> address, std::unique_ptr<basalt::CCommPort> device);
    ~CSerialPort() override;

    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    bool IsOpen() const override;
    void Close() override;
    void SetBufferSize(DWORD incoming, DWORD outgoing) override;
    void GetBufferSize(DWORD* incoming, DWORD* outgoing) override;
    void Purge(DWORD flags) override;
    DWORD Send(const void* data, DWORD size) override;
    DWORD Recv(void* buffer, DWORD size) override;
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
                                           boost::shared_ptr<IPropertySet> args) override;
    boost::shared_ptr<const IPortAddr> GetAddress() const override;
    void Open() override;
    // Code 0 reads the stall tolerance (1 or 0), code 1 sets it from *value;
    // with it set, an output that flow control holds is never reported.
    bool IoControl(DWORD code, DWORD* value) override;
    boost::shared_ptr<IPropertySet> GetSettings() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;
    // "CTS", "DSR", "RING", "RLSD": the lines as the receiving worker last saw them.
    boost::shared_ptr<IPropertySet> GetStatus() override;

    // Raises and drops the modem control lines: "EscapeCommFunction".
    class CEscapeCommFunction;
    // What an open port holds: the device, the workers and the two streams.
    struct CState;

private:
    static DWORD WINAPI SendThreadProc(void* port);
    static DWORD WINAPI RecvThreadProc(void* port);
    void SendThreadProcFn();
    void RecvThreadProcFn();

    std::unique_ptr<CState> m_state;
};

}  // namespace corvane
