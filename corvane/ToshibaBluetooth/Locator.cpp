#include "ToshibaBluetooth/ToshibaBluetooth.h"
#include "ToshibaBluetooth/Windows.h"

#include "Shared/BluetoothCache.h"

#include <cstring>

namespace Toshiba {

using namespace corvane;

namespace {

const wchar_t kFile[] = L"ToshibaBluetooth";
const wchar_t kWndProc[] = L"Toshiba::CBluetoothPortLocator::CServiceWindow::WndProc";
const DWORD kNoFilter = 0xFFFFFFFF;
const DWORD kCacheOnly = 2;
// The message's parameter is the search's number, so the stack's failure has no status of its own.
const LONG kInquiryFailed = -1001;

}  // namespace

// The locator is found from the window, never from the message's parameter:
// a message that comes after the locator is gone then finds nothing.
LRESULT CALLBACK LocatorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (message == TosBt::msgDiscovery && CServiceWindow::Deliver(window, message, wParam, lParam, result))
        return result;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

CBluetoothPortLocator::CBluetoothPortLocator()
    : m_classFilter(kNoFilter),
      m_flags(0),
      m_running(false),
      m_results(nullptr),
      m_handled(0),
      m_search(0),
      m_window(kLocatorWindowClass, L"ToshibaBluetoothLocatorWnd", this) {
    m_sdk.reset(new CToshibaBluetoothSDK);
    m_sdk->OpenAPI(m_window.Get());
}

CBluetoothPortLocator::~CBluetoothPortLocator() {
    m_window.Unlink();
    try {
        EndSearch();
    } catch (const basalt::CStdException&) {
    }
    try {
        m_sdk->CloseAPI();
    } catch (const basalt::CStdException&) {
    }
}

bool CBluetoothPortLocator::IsHardwareAvailableAndPoweredOn() const {
    try {
        basalt::CLocker lock(m_lock);
        m_sdk->GetLocalAddress();
        return true;
    } catch (...) {
        return false;
    }
}

boost::shared_ptr<IPropertySet> CBluetoothPortLocator::GetSettings() {
    basalt::CLocker lock(m_lock);
    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    set->AddCopy(CProperty(L"LocalCOD", IProperty::accessFull, VT_UI4, 0, 0,
                           _variant_t(static_cast<ULONG>(m_sdk->GetClassOfDevice()))));
    set->AddCopy(CProperty(L"LocalAddr", IProperty::accessReadOnly, VT_BSTR, 0, 0,
                           _variant_t(CBluetoothPortAddr::BluetoothAddr2Str(m_sdk->GetLocalAddress(), L':').c_str())));
    set->AddCopy(CProperty(L"LocalName", IProperty::accessFull, VT_BSTR, 0, 0,
                           _variant_t(m_sdk->GetLocalDeviceName().c_str())));
    set->AddCopy(CProperty(L"Discoverable", IProperty::accessReadOnly, VT_BOOL, 0, 0,
                           _variant_t(m_sdk->GetDiscoverabilityMode())));
    set->AddCopy(CProperty(L"Authentication", IProperty::accessReadOnly, VT_BOOL, 0, 0,
                           _variant_t(m_sdk->GetPairingMode())));
    set->AddCopy(CProperty(L"Connectable", IProperty::accessReadOnly, VT_BOOL, 0, 0,
                           _variant_t(m_sdk->GetConnectabilityMode())));
    return set;
}

void CBluetoothPortLocator::SetSettings(boost::shared_ptr<IPropertySet> settings) {
    if (!settings) return;
    basalt::CLocker lock(m_lock);
    if (boost::shared_ptr<IProperty> cod = settings->Find(L"LocalCOD"))
        m_sdk->SetClassOfDevice(static_cast<ULONG>(cod->GetValue()));
    if (boost::shared_ptr<IProperty> name = settings->Find(L"LocalName"))
        m_sdk->SetLocalDeviceName(basalt::ustring(static_cast<_bstr_t>(name->GetValue())));
}

boost::shared_ptr<IPropertySet> CBluetoothPortLocator::Escape(const wchar_t* name,
                                                              boost::shared_ptr<IPropertySet> args) {
    return m_escapes.Escape(name, args);
}

void CBluetoothPortLocator::BeginSearch(DWORD classFilter, DWORD flags) {
    basalt::CLocker lock(m_lock);
    EndSearchLocked();
    m_handled = 0;
    m_classFilter = classFilter;
    m_flags = flags;
    m_addresses.clear();
    m_errors.clear();
    if (flags & kCacheOnly) {
        AppendCachedAddresses(classFilter == kNoFilter ? -1 : static_cast<int>(classFilter), m_addresses);
        m_notifier.Fire(eventDataAvailable);
        m_notifier.Fire(eventStateChanged);
        return;
    }
    m_found.clear();
    // Each search is told apart by its number, which the stack passes back
    // with every message: the queued messages of a search that this one
    // replaced would otherwise end it early, with its finds and the cache
    // list cut short.
    ++m_search;
    m_sdk->DiscoverRemoteDevice(&m_results, 0, m_window.Get(), TosBt::msgDiscovery, static_cast<LPARAM>(m_search));
    m_running = true;
}

void CBluetoothPortLocator::EndSearch() {
    basalt::CLocker lock(m_lock);
    EndSearchLocked();
}

void CBluetoothPortLocator::EndSearchLocked() {
    if (m_running) {
        m_running = false;
        m_sdk->CancelDiscoverRemoteDevice();
    }
    void* results = m_results;
    m_results = nullptr;
    m_sdk->MemFree(results);
}

bool CBluetoothPortLocator::IsRunning() const {
    basalt::CLocker lock(m_lock);
    return m_running;
}

boost::shared_ptr<const IPortAddr> CBluetoothPortLocator::GetNextAddress() {
    basalt::CLocker lock(m_lock);
    if (!m_errors.empty()) {
        boost::shared_ptr<basalt::CStdException> error = m_errors.front();
        m_errors.pop_front();
        error->Throw();
    }
    if (m_addresses.empty()) return {};
    boost::shared_ptr<const IPortAddr> address = m_addresses.front();
    m_addresses.pop_front();
    return address;
}

LRESULT CBluetoothPortLocator::OnMessage(UINT, WPARAM wParam, LPARAM lParam) {
    basalt::CLocker lock(m_lock);
    // Late messages of a search that was ended or replaced: its partial finds
    // must not replace the cache's list, nor its failure reach the next search.
    if (!m_running || static_cast<DWORD>(lParam) != m_search) return 0;
    switch (wParam) {
    case TosBt::discoveryResults:
        try {
            TakeResults();
        } catch (const basalt::CStdException& e) {
            m_errors.push_back(e.Clone());
            m_notifier.Fire(eventError);
        }
        break;
    case TosBt::discoveryFailed:
        m_running = false;
        m_errors.push_back(boost::shared_ptr<basalt::CStdException>(
            new CToshibaBluetoothException(__LINE__, kFile, kWndProc, kInquiryFailed)));
        m_notifier.Fire(eventError);
        break;
    case TosBt::discoveryCleared:
        m_addresses.clear();
        m_found.clear();
        break;
    case TosBt::discoveryFinished: {
        m_running = false;
        m_notifier.Fire(eventStateChanged);
        std::vector<ULONGLONG> list;
        for (const auto& address : m_found) list.push_back(static_cast<const CBluetoothPortAddr&>(*address).GetAddress());
        WriteBluetoothCacheList(list);
        break;
    }
    }
    return 0;
}

void CBluetoothPortLocator::TakeResults() {
    if (!m_results) return;
    const BYTE* list = static_cast<const BYTE*>(m_results);
    DWORD count = 0;
    std::memcpy(&count, list, sizeof count);
    for (DWORD i = m_handled; i < count; ++i) {
        const BYTE* record = list + TosBt::discoveryRecordsAt + i * TosBt::discoveryRecordSize;
        ULONGLONG device = FromStackAddress(record + TosBt::deviceAddressAt);
        DWORD classOfDevice = 0;
        std::memcpy(&classOfDevice, record + TosBt::deviceClassAt, sizeof classOfDevice);
        if (m_classFilter != kNoFilter && m_classFilter != MajorDeviceClass(classOfDevice)) continue;
        const char* utf8 = reinterpret_cast<const char*>(record + TosBt::deviceNameAt);
        std::string raw(utf8, strnlen(utf8, TosBt::deviceNameSize));
        std::wstring wide(raw.size() + 1, L'\0');
        int length = ::MultiByteToWideChar(CP_UTF8, 0, raw.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
        basalt::ustring name(length > 0 ? wide.c_str() : L"");
        if (name.empty()) {
            CBluetoothCacheEntry entry;
            if (ReadBluetoothCacheEntry(device, entry)) name = entry.name;
        }
        boost::shared_ptr<const IPortAddr> address =
            CBluetoothPortAddr::CreateInstance(device, classOfDevice, name.c_str(), nullptr, 0, 0);
        WriteBluetoothCacheEntry(device, classOfDevice, name);
        m_addresses.push_back(address);
        m_found.push_back(address);
        m_notifier.Fire(eventDataAvailable);
    }
    m_handled = count;
}

}  // namespace Toshiba

namespace corvane {
boost::shared_ptr<IPortLocator> CreateToshibaBluetoothPortLocator() {
    return boost::shared_ptr<IPortLocator>(new Toshiba::CBluetoothPortLocator);
}
}  // namespace corvane
