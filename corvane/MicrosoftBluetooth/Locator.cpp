#include "MicrosoftBluetooth/MicrosoftBluetooth.h"

#include "Shared/BluetoothCache.h"

#include <cstring>
#include <new>

namespace Microsoft {

using namespace corvane;

namespace {

const wchar_t kFile[] = L"MicrosoftBluetooth";
const wchar_t kEscape[] = L"Microsoft::CBluetoothPortLocator::Escape";
const wchar_t kSearch[] = L"Microsoft::CBluetoothPortLocator::ThreadProcFn";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

CProperty TextParameter(const wchar_t* name) {
    return CProperty(name, IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L""));
}

}  // namespace

CBluetoothPortLocator::CBluetoothPortLocator() : m_classFilter(-1), m_flags(0), m_stop(true, false) {}

CBluetoothPortLocator::~CBluetoothPortLocator() {
    m_stop.Set();
    m_thread.Join();
}

IPortAddr::EPortType CBluetoothPortLocator::GetType() const { return IPortAddr::portBluetooth; }

bool CBluetoothPortLocator::IsHardwareAvailableAndPoweredOn() const {
    try {
        CBtDrt api;
        api.GetLocalAddress();
        return true;
    } catch (const basalt::CStdException&) {
        return false;
    }
}

boost::shared_ptr<IPropertySet> CBluetoothPortLocator::GetSettings() {
    CBtDrt api;
    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    set->AddCopy(CProperty(L"LocalCOD", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(static_cast<ULONG>(api.GetLocalCOD()))));
    set->AddCopy(CProperty(L"LocalAddr", IProperty::accessReadOnly, VT_BSTR, 0, 0,
                           _variant_t(CBluetoothPortAddr::BluetoothAddr2Str(api.GetLocalAddress(), L':').c_str())));
    set->AddCopy(CProperty(L"LocalName", IProperty::accessReadOnly, VT_BSTR, 0, 0, _variant_t(api.GetLocalName().c_str())));
    set->AddCopy(CProperty(L"Discoverable", IProperty::accessFull, VT_BOOL, 0, 0, _variant_t(api.IsDiscoverable())));
    set->AddCopy(CProperty(L"Connectable", IProperty::accessFull, VT_BOOL, 0, 0, _variant_t(api.IsConnectable())));
    return set;
}

void CBluetoothPortLocator::SetSettings(boost::shared_ptr<IPropertySet> settings) {
    CBtDrt api;
    DWORD classOfDevice = 0;
    if (boost::shared_ptr<IProperty> property = settings ? settings->Find(L"LocalCOD") : boost::shared_ptr<IProperty>()) {
        // A value that is no number (null, say) counts as absent: the answer is
        // the stack's refusal, not a conversion error.
        _variant_t value = property->GetValue(), number;
        if (SUCCEEDED(::VariantChangeType(&number, &value, 0, VT_UI4))) classOfDevice = number.ulVal;
    }
    CBtDrt::WriteLocalCOD(classOfDevice);
}

boost::shared_ptr<IPropertySet> CBluetoothPortLocator::Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) {
    boost::shared_ptr<CPropertySet> result(new CPropertySet);
    if (!name) {
        for (const wchar_t* function : {L"PairRequest", L"IsPaired", L"RevokePairing"})
            result->AddCopy(CProperty(function, IProperty::accessReadOnly, VT_EMPTY, 0, 0, _variant_t()));
        return result;
    }
    basalt::ustring function(name);
    bool pair = function == L"PairRequest", query = function == L"IsPaired", revoke = function == L"RevokePairing";
    if (!pair && !query && !revoke) Fail(__LINE__, kEscape, ERROR_INVALID_FUNCTION);
    if (!args) {
        result->AddCopy(TextParameter(L"Address"));
        if (pair) result->AddCopy(TextParameter(L"PIN"));
        return result;
    }
    CBtDrt api;
    boost::shared_ptr<IProperty> address = args->Find(L"Address");
    if (!address) Fail(__LINE__, kEscape, ERROR_INVALID_PARAMETER);
    basalt::ustring text(static_cast<_bstr_t>(address->GetValue()));
    ULONGLONG device = CBluetoothPortAddr::Str2BluetoothAddr(text.c_str(), L':');
    if (pair) {
        boost::shared_ptr<IProperty> pin = args->Find(L"PIN");
        if (!pin) Fail(__LINE__, kEscape, ERROR_INVALID_PARAMETER);
        _variant_t value = pin->GetValue();
        if (IsNullText(value)) {
            api.PairRequest(device, nullptr);
        } else {
            basalt::ustring pinText(static_cast<_bstr_t>(value));
            api.PairRequest(device, pinText.c_str());
        }
    } else if (query) {
        result->AddCopy(CProperty(L"", IProperty::accessFull, VT_BOOL, 0, 0, _variant_t(api.IsAuthenticated(device))));
    } else {
        api.RemoveDevice(device);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Searching

void CBluetoothPortLocator::BeginSearch(DWORD classFilter, DWORD flags) {
    EndSearch();
    m_stop.Reset();
    {
        CObjectLocker lock(*this);
        m_classFilter = static_cast<int>(classFilter);
        m_flags = flags;
        m_addresses.clear();
        m_errors.clear();
    }
    if (flags & flagCacheOnly) {
        CObjectLocker lock(*this);
        AppendCachedAddresses(m_classFilter, m_addresses);
        m_notifier.Fire(eventDataAvailable);
        m_notifier.Fire(eventStateChanged);
        return;
    }
    m_thread = basalt::CThread::Create(ThreadProc, this);
}

void CBluetoothPortLocator::EndSearch() {
    m_stop.Set();
    m_thread.Join();
}

bool CBluetoothPortLocator::IsRunning() const { return m_thread.IsRunning(); }

boost::shared_ptr<const IPortAddr> CBluetoothPortLocator::GetNextAddress() {
    CObjectLocker lock(*this);
    if (!m_errors.empty()) {
        basalt::CWinException error = m_errors.front();
        m_errors.pop_front();
        throw error;
    }
    if (m_addresses.empty()) return boost::shared_ptr<const IPortAddr>();
    boost::shared_ptr<const IPortAddr> address = m_addresses.front();
    m_addresses.pop_front();
    return address;
}

bool CBluetoothPortLocator::Wanted(DWORD classOfDevice) const {
    return m_classFilter == -1 || m_classFilter == static_cast<int>(MajorDeviceClass(classOfDevice));
}

DWORD WINAPI CBluetoothPortLocator::ThreadProc(void* locator) {
    static_cast<CBluetoothPortLocator*>(locator)->ThreadProcFn();
    return 0;
}

void CBluetoothPortLocator::ThreadProcFn() {
    try {
        std::vector<boost::shared_ptr<const IPortAddr>> found;
        // Names come late over the air: a device heard without one, and not
        // named by the cache either, is worth another pass.
        for (int pass = 0; pass < maxPasses; ++pass)
            if (!SearchPass(found)) break;
        std::vector<ULONGLONG> list;
        for (const auto& address : found)
            list.push_back(static_cast<const CBluetoothPortAddr&>(*address).GetAddress());
        WriteBluetoothCacheList(list);
    } catch (const basalt::CWinException& e) {
        QueueError(e);
    } catch (const std::bad_alloc&) {
        QueueError(basalt::CWinException(__LINE__, kFile, kSearch, ERROR_NOT_ENOUGH_MEMORY));
    } catch (...) {
        // Anything else leaving a thread would end the client's process: it
        // is reported as the search's failure instead.
        QueueError(basalt::CWinException(__LINE__, kFile, kSearch, ERROR_INTERNAL_ERROR));
    }
    CObjectLocker lock(*this);
    m_notifier.Fire(eventStateChanged);
}

void CBluetoothPortLocator::QueueError(const basalt::CWinException& error) {
    CObjectLocker lock(*this);
    m_errors.push_back(error);
    m_notifier.Fire(eventError);
}

bool CBluetoothPortLocator::SearchPass(std::vector<boost::shared_ptr<const IPortAddr>>& found) {
    CBtDrt api;
    BLUETOOTH_DEVICE_SEARCH_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwSize = sizeof params;
    params.fReturnAuthenticated = params.fReturnRemembered = params.fReturnUnknown = params.fReturnConnected = TRUE;
    params.fIssueInquiry = TRUE;
    params.cTimeoutMultiplier = 10;  // 10 x 1.28 s, the longest inquiry worth waiting for
    BLUETOOTH_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    HBLUETOOTH_DEVICE_FIND find = api.FindFirstDevice(&params, &info);
    if (!find) return false;
    bool again = false;
    try {
        do {
            CObjectLocker lock(*this);
            if (Wanted(info.ulClassofDevice)) {
                ULONGLONG device = info.Address.ullLong;
                info.szName[BLUETOOTH_MAX_NAME_SIZE - 1] = L'\0';
                basalt::ustring name(info.szName);
                if (name.empty()) {
                    CBluetoothCacheEntry entry;
                    if (ReadBluetoothCacheEntry(device, entry)) name = entry.name;
                    else again = true;
                }
                boost::shared_ptr<const IPortAddr> address =
                    CBluetoothPortAddr::CreateInstance(device, info.ulClassofDevice, name.c_str(), nullptr, 0, 0);
                WriteBluetoothCacheEntry(device, info.ulClassofDevice, name);
                m_addresses.push_back(address);
                m_notifier.Fire(eventDataAvailable);
                bool listed = false;
                for (const auto& other : found)
                    if (basalt::ustring(other->GetPhysicalName()) == basalt::ustring(address->GetPhysicalName())) listed = true;
                if (!listed) found.push_back(address);
            }
            // Looked at after each device: an inquiry in progress cannot be cut short.
            if (m_stop.IsSet()) Fail(__LINE__, kSearch, ERROR_CANCELLED);
            info.dwSize = sizeof info;
        } while (api.FindNextDevice(find, &info));
    } catch (...) {
        api.FindDeviceClose(find);
        throw;
    }
    api.FindDeviceClose(find);
    return again;
}

}  // namespace Microsoft

namespace corvane {
boost::shared_ptr<IPortLocator> CreateMicrosoftBluetoothPortLocator() {
    return boost::shared_ptr<IPortLocator>(new Microsoft::CBluetoothPortLocator);
}
}  // namespace corvane
