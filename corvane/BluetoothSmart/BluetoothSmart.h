#pragma once
// The Bluetooth Smart driver: a port that runs the link protocol (LinkEngine)
// over one GATT characteristic of a paired device, the locator of such
// devices and its two escape functions.
#include "BluetoothSmart/LinkEngine.h"
#include "Shared/StreamPort.h"

#include <Corvane/BluetoothSmart.h>
#include <basalt/GATT.h>
#include <basalt/Threads.h>

#include <atomic>

namespace corvane {

namespace bluetooth_smart {
// The GATT service that carries the link, and the interface class of its device path.
extern const GUID linkService;        // {F000A050-008B-4000-B000-000000000000}
const USHORT linkServiceUuid = 0xA050;
const USHORT dataCharacteristicUuid = 0xA002;
const DWORD defaultBufferSize = 0x10000;
// SetSettings: a boolean property of this name turns fast recovery on or off.
const wchar_t fastRecoverySetting[] = L"FastRecovery";
// The plain-safe rules (CLinkRules::PlainSafe), on by default; off, the
// engine's own rules (CLinkRules::Reliable), for a device known to run them.
const wchar_t plainDeviceSetting[] = L"PlainDevice";
}  // namespace bluetooth_smart

class CBluetoothSmartPort : public CStreamPort, public basalt::CMultiThreadObject, private ILinkIO, private ILinkSlots {
public:
    // Throws CWinException 87 unless the address is a Bluetooth Smart address.
    explicit CBluetoothSmartPort(boost::shared_ptr<const IPortAddr> address);
    ~CBluetoothSmartPort() override;

    bool IsOpen() const override;
    void Close() override;
    // The port has no escape functions: an empty pointer for anything.
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) override;

    // Opens the GATT service of the link, subscribes to its data
    // characteristic and starts the worker; does not wait for the handshake.
    void Open() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;

private:
    // The stack's value-change callback, on the stack's thread: files the
    // frame in its slot and wakes the worker, nothing more.
    static void CALLBACK ValueChanged(BTH_LE_GATT_EVENT_TYPE type, PVOID event, PVOID context);
    // What the callback reaches: the slots, their lock, the characteristic's
    // handles and the frame event, apart from the port, so that a stack that
    // refuses to end the registration calls into an object that outlives
    // the port (left behind, with its slots gone) rather than a freed one.
    struct CFrameSink;
    static void File(CFrameSink& sink, const BLUETOOTH_GATT_VALUE_CHANGED_EVENT& event);

    static DWORD WINAPI ThreadProc(void* port);
    DWORD ThreadProcFn();
    // One slot's frame for the worker's receive pass, under the lock.
    DWORD TakeSlot(DWORD slot, BYTE* frame, DWORD& filedAt) override;

    // What the engine does to the characteristic and the streams.
    void WriteFrame(const BYTE* frame, DWORD size, bool control) override;
    DWORD TakeOutgoing(BYTE* buffer, DWORD size) override;
    void Deliver(const BYTE* data, DWORD size) override;

    // Fields; the object's own lock (CMultiThreadObject) guards the slots.
    basalt::CMicrosoftGATT m_gatt;
    basalt::CEvent m_stop;       // manual reset: tells the worker to end
    basalt::CEvent m_frame;      // auto reset: the callback filed a frame
    basalt::CEvent m_sendNow;    // auto reset: the worker processed an acknowledgement
    basalt::CThread m_worker;
    BTH_LE_GATT_CHARACTERISTIC m_dataCharacteristic;
    BLUETOOTH_GATT_EVENT_HANDLE m_registration;
    std::vector<BYTE> m_registrationBlock;
    CFrameSink* m_sink;  // while open; the callback's context
    std::atomic<bool> m_fastRecovery;  // set by the client, read by the worker as it starts
    std::atomic<bool> m_plainDevice;   // likewise; fast recovery wins when both are on
};

// The factories the exported ones reach the driver through.
boost::shared_ptr<IPort> CreateBluetoothSmartPort(const boost::shared_ptr<const IPortAddr>& address);
boost::shared_ptr<IPortLocator> CreateBluetoothSmartPortLocator();

}  // namespace corvane
