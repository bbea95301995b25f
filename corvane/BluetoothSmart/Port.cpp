#include "BluetoothSmart/BluetoothSmart.h"

#include <cstddef>
#include <cstring>

namespace corvane {

namespace bluetooth_smart {
const GUID linkService = {0xF000A050, 0x008B, 0x4000, {0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
}  // namespace bluetooth_smart

namespace {

const wchar_t kFile[] = L"BluetoothSmart";
const wchar_t kOpen[] = L"corvane::CBluetoothSmartPort::Open";
const wchar_t kWorker[] = L"corvane::CBluetoothSmartPort::ThreadProcFn";

}  // namespace

struct CBluetoothSmartPort::CFrameSink {
    // A handle of its own to the port's frame event, which stays valid
    // should the sink outlive the port.
    explicit CFrameSink(basalt::CEvent& event) {
        HANDLE duplicate = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), event.GetHandle(), ::GetCurrentProcess(), &duplicate, 0,
                               FALSE, DUPLICATE_SAME_ACCESS))
            throw basalt::CWinException(__LINE__, kFile, L"DuplicateHandle", ::GetLastError());
        frame.Reset(duplicate);
    }
    basalt::CCriticalSection lock;
    CFrameSlots slots;
    basalt::CHandle frame;
    USHORT attribute = 0;
    USHORT valueHandle = 0;
};

CBluetoothSmartPort::CBluetoothSmartPort(boost::shared_ptr<const IPortAddr> address)
    : CStreamPort(address, {kFile, L"corvane::CBluetoothSmartPort::Send", L"corvane::CBluetoothSmartPort::Recv",
                            bluetooth_smart::defaultBufferSize, bluetooth_smart::defaultBufferSize,
                            CPortStreamRules::defaultIsFloor, CPortStreamRules::errorsInIncoming}),
      m_stop(true, false),
      m_frame(false, false),
      m_sendNow(false, false),
      m_registration(nullptr),
      m_sink(nullptr),
      m_fastRecovery(false),
      m_plainDevice(true) {
    if (!address || address->GetType() != IPortAddr::portBluetoothSmart)
        throw basalt::CWinException(__LINE__, kFile, L"corvane::CBluetoothSmartPort::CBluetoothSmartPort",
                                    ERROR_INVALID_PARAMETER);
    std::memset(&m_dataCharacteristic, 0, sizeof m_dataCharacteristic);
}

CBluetoothSmartPort::~CBluetoothSmartPort() { CloseQuietly(); }

bool CBluetoothSmartPort::IsOpen() const { return m_gatt.IsOpen(); }

void CBluetoothSmartPort::Close() {
    if (m_worker.IsJoinable()) {
        m_stop.Set();
        m_worker.Join();
    }
    m_stop.Reset();
    m_frame.Reset();
    m_sendNow.Reset();

    // After UnregisterEvent returns, no callback runs: only then may the
    // sink go. A stack that refuses may still call back, so the sink is left
    // behind with its slots freed (it files nothing more) and the port
    // closes all the same: reporting the refusal would leave the client
    // nothing to do about it, and a later Open registers afresh.
    bool unregistered = true;
    if (m_registration) {
        BLUETOOTH_GATT_EVENT_HANDLE registration = m_registration;
        m_registration = nullptr;
        try {
            m_gatt.UnregisterEvent(registration, 0);
        } catch (const basalt::CStdException&) {
            unregistered = false;
        }
    }
    m_gatt.Close();
    std::memset(&m_dataCharacteristic, 0, sizeof m_dataCharacteristic);
    m_registrationBlock.clear();
    if (m_sink) {
        if (unregistered) {
            delete m_sink;
        } else {
            basalt::CLocker lock(m_sink->lock);
            m_sink->slots.Free();
        }
        m_sink = nullptr;
    }
    m_streams.Reset();
}

boost::shared_ptr<IPropertySet> CBluetoothSmartPort::Escape(const wchar_t*, boost::shared_ptr<IPropertySet>) {
    return boost::shared_ptr<IPropertySet>();
}

void CBluetoothSmartPort::SetSettings(boost::shared_ptr<IPropertySet> settings) {
    // Two settings, each applying from the next Open. "PlainDevice", on
    // unless the client turns it off: the plain-safe rules
    // (CLinkRules::PlainSafe), which never hand either end a wrong byte from
    // a device that follows the plain rules, the devices in the field, and
    // carry the stream to a device on Corvane's own engine as well. Off, the
    // engine's own rules (CLinkRules::Reliable), only for a device known to
    // run that engine: against a plain device they lose bytes unnoticed at
    // the first lost frame. "FastRecovery", off unless turned on, for a
    // device known to drop stale copies of frames (CLinkRules::fastRecovery).
    // Anything else is ignored.
    if (!settings) return;
    auto read = [&](const wchar_t* name, std::atomic<bool>& setting) {
        boost::shared_ptr<IProperty> property = settings->Find(name);
        if (!property) return;
        // Only a boolean counts: SetSettings ignores what it cannot use, so
        // a value of another type leaves the setting as it was.
        _variant_t value = property->GetValue();
        if (value.vt == VT_BOOL) setting = value.boolVal != VARIANT_FALSE;
    };
    read(bluetooth_smart::fastRecoverySetting, m_fastRecovery);
    read(bluetooth_smart::plainDeviceSetting, m_plainDevice);
}

void CBluetoothSmartPort::Open() {
    Close();
    try {
        ULONGLONG address = CBluetoothPortAddr::Str2BluetoothAddr(m_address->GetPhysicalName(), L':');
        basalt::ustring path;
        DWORD result =
            CBluetoothSmartPortLocator::BluetoothAddress2PhysicalPath(bluetooth_smart::linkService, address, path);
        if (result != 0) throw basalt::CWinException(__LINE__, kFile, kOpen, result);

        m_gatt.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    FILE_FLAG_OVERLAPPED);

        // Subscribe to every characteristic that can tell of changes; one
        // that refuses does not keep the link from working.
        std::vector<BTH_LE_GATT_DESCRIPTOR> descriptors;
        m_gatt.GetAllDescriptors(descriptors);
        for (const BTH_LE_GATT_DESCRIPTOR& descriptor : descriptors) {
            if (descriptor.DescriptorType != ClientCharacteristicConfiguration) continue;
            BTH_LE_GATT_DESCRIPTOR_VALUE value;
            std::memset(&value, 0, sizeof value);
            value.DescriptorType = ClientCharacteristicConfiguration;
            value.ClientCharacteristicConfiguration.IsSubscribeToNotification = TRUE;
            value.ClientCharacteristicConfiguration.IsSubscribeToIndication = TRUE;
            try {
                m_gatt.SetDescriptorValue(descriptor, value, 0);
            } catch (const basalt::CStdException&) {
            }
        }

        m_sink = new CFrameSink(m_frame);
        m_sink->slots.Allocate();
        if (!m_gatt.FindCharacteristicByUUID(bluetooth_smart::linkServiceUuid, bluetooth_smart::dataCharacteristicUuid,
                                             m_dataCharacteristic))
            throw basalt::CWinException(__LINE__, kFile, kOpen, ERROR_INTERNAL_ERROR);
        m_sink->attribute = m_dataCharacteristic.AttributeHandle;
        m_sink->valueHandle = m_dataCharacteristic.CharacteristicValueHandle;

        // One characteristic: the count, its padding, then the characteristic.
        m_registrationBlock.assign(sizeof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION), 0);
        auto* block = reinterpret_cast<PBLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION>(m_registrationBlock.data());
        block->NumCharacteristics = 1;
        block->Characteristics[0] = m_dataCharacteristic;
        m_gatt.RegisterEvent(CharacteristicValueChangedEvent, block, ValueChanged, m_sink, &m_registration, 0);

        m_worker = basalt::CThread::Create(ThreadProc, this);
    } catch (const basalt::CStdException&) {
        try {
            Close();
        } catch (const basalt::CStdException&) {
            // The failure of Open is the one to report.
        }
        throw;
    }
}

// ---------------------------------------------------------------------------
// The stack's thread

void CALLBACK CBluetoothSmartPort::ValueChanged(BTH_LE_GATT_EVENT_TYPE, PVOID event, PVOID context) {
    if (!event || !context) return;
    File(*static_cast<CFrameSink*>(context), *static_cast<BLUETOOTH_GATT_VALUE_CHANGED_EVENT*>(event));
}

void CBluetoothSmartPort::File(CFrameSink& sink, const BLUETOOTH_GATT_VALUE_CHANGED_EVENT& event) {
    const BTH_LE_GATT_CHARACTERISTIC_VALUE* value = event.CharacteristicValue;
    if (!value || value->DataSize < 1 || value->DataSize > link::maxFrame) return;
    basalt::CLocker lock(sink.lock);
    // The stack names the characteristic by its declaration's handle or by
    // its value's; any other attribute is not the link's.
    if (event.ChangedAttributeHandle != sink.attribute && event.ChangedAttributeHandle != sink.valueHandle) return;
    if (sink.slots.File(value->Data, value->DataSize, ::GetTickCount())) ::SetEvent(sink.frame.Get());
}

// ---------------------------------------------------------------------------
// The worker

DWORD WINAPI CBluetoothSmartPort::ThreadProc(void* port) {
    basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
    return static_cast<CBluetoothSmartPort*>(port)->ThreadProcFn();
}

DWORD CBluetoothSmartPort::ThreadProcFn() {
    // Send queues bytes and fires eventOutgoingPending: this notice wakes the worker.
    basalt::COverlapped pending;
    m_streams.outgoing.SetWorkerNotice(boost::shared_ptr<INotice>(new CNoticeOvl(pending)));
    try {
        CLinkEngine engine(CLinkEngine::rolePort, *this,
                           m_fastRecovery.load()  ? CLinkRules::Fast()
                           : m_plainDevice.load() ? CLinkRules::PlainSafe()
                                                  : CLinkRules::Reliable());
        CLinkWorker worker(engine, *this);
        worker.Start(::GetTickCount());
        const HANDLE handles[4] = {m_stop.GetHandle(), m_sendNow.GetHandle(), m_frame.GetHandle(),
                                   pending.GetEventHandle()};
        for (;;) {
            DWORD result = ::WaitForMultipleObjects(4, handles, FALSE, worker.GetWaitTimeout());
            if (result == WAIT_OBJECT_0) break;  // stop
            CLinkWorker::EWake wake;
            switch (result) {
            case WAIT_OBJECT_0 + 1:
                wake = CLinkWorker::wakeSendNow;
                break;
            case WAIT_OBJECT_0 + 2:
                wake = CLinkWorker::wakeFrame;
                break;
            case WAIT_OBJECT_0 + 3:
                pending.GetEvent().Reset();  // before the phase: a Send during it sets it again
                wake = CLinkWorker::wakePending;
                break;
            case WAIT_TIMEOUT:
                wake = CLinkWorker::wakeTimeout;
                break;
            case WAIT_FAILED:
                throw basalt::CWinException(__LINE__, kFile, L"WaitForMultipleObjects", ::GetLastError());
            default:
                throw basalt::CWinException(__LINE__, kFile, L"WaitForMultipleObjects", ERROR_INTERNAL_ERROR);
            }
            if (worker.OnWake(wake, ::GetTickCount())) m_sendNow.Set();
        }
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    } catch (const std::exception&) {
        // Out of memory and the like: the client hears of it as a broken link.
        m_streams.incoming.SetError(basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INTERNAL_ERROR));
    }
    m_streams.outgoing.SetWorkerNotice(boost::shared_ptr<INotice>());
    return 0;
}

DWORD CBluetoothSmartPort::TakeSlot(DWORD slot, BYTE* frame, DWORD& filedAt) {
    basalt::CLocker lock(m_sink->lock);
    return m_sink->slots.Take(slot, frame, filedAt);
}

void CBluetoothSmartPort::WriteFrame(const BYTE* frame, DWORD size, bool control) {
    m_gatt.SetCharacteristicValue(m_dataCharacteristic, frame, size,
                                  control ? BLUETOOTH_GATT_FLAG_NONE : BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE);
}

DWORD CBluetoothSmartPort::TakeOutgoing(BYTE* buffer, DWORD size) {
    return m_streams.outgoing.Take(buffer, size);
}

void CBluetoothSmartPort::Deliver(const BYTE* data, DWORD size) {
    BYTE* fill = m_streams.incoming.BeginFill(size);
    std::memcpy(fill, data, size);
    m_streams.incoming.EndFill(size);
}

// ---------------------------------------------------------------------------

boost::shared_ptr<IPort> CreateBluetoothSmartPort(const boost::shared_ptr<const IPortAddr>& address) {
    return boost::shared_ptr<IPort>(new CBluetoothSmartPort(address));
}

}  // namespace corvane
