#include "ToshibaBluetooth/ToshibaBluetooth.h"

#include <cstring>
#include <memory>
#include <utility>

namespace Toshiba {

namespace {

const wchar_t kFile[] = L"ToshibaBluetooth";
const char kApplication[] = "QuarryBluetoothSDK";
const size_t kNameBufferSize = 250;
const size_t kCommNameBufferSize = 260;

// Status -> string-table id; a status without an entry has text 212.
const std::pair<LONG, UINT> kMessages[] = {
    {0, 209},      {1, 210},      {2, 211},      {-2, 213},     {-3, 214},     {-4, 215},     {-7, 216},
    {-9, 217},     {-10, 218},    {-11, 219},    {-1000, 220},  {-1001, 221},  {-1002, 222},  {-1003, 223},
    {-1095, 224},  {-1994, 225},  {-1995, 226},  {-1996, 227},  {-1997, 228},  {-1998, 229},  {-1999, 230},
    {-2000, 231},  {-2001, 232},  {-2002, 233},  {-2003, 234},  {-2004, 235},  {-2005, 236},  {-2006, 237},
    {-2007, 238},  {-2008, 239},  {-2009, 240},  {-2010, 241},  {-2011, 242},  {-2012, 243},  {-3000, 244},
    {-3001, 245},  {-3002, 246},  {-3003, 247},  {-3004, 248},  {-3005, 249}};
const UINT kNoDescription = 212;
const UINT kSourceText = 208;

// Port names travel in the thread's ANSI code page, other texts in UTF-8.
std::string Narrow(const basalt::ustring& text, UINT codePage) {
    int size = ::WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}

basalt::ustring Widen(const char* text, UINT codePage) {
    int size = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (size <= 1) return basalt::ustring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, -1, &wide[0], size);
    wide.resize(static_cast<size_t>(size - 1));
    return basalt::ustring(wide.c_str());
}

std::string CommName(const basalt::ustring& name) { return Narrow(name, CP_THREAD_ACP); }

}  // namespace

// ---------------------------------------------------------------------------
// CToshibaBluetoothException

CToshibaBluetoothException::CToshibaBluetoothException(int line, const wchar_t* file, const wchar_t* function,
                                                       LONG status)
    : basalt::CStdException(line, file, function), m_status(status) {}

CToshibaBluetoothException::~CToshibaBluetoothException() {}

basalt::ustring CToshibaBluetoothException::GetErrorCodeStr() const {
    basalt::ustring text;
    text.sprintf(L"%d", static_cast<int>(m_status));
    return text;
}

boost::shared_ptr<basalt::CStdException> CToshibaBluetoothException::Clone() const {
    return boost::shared_ptr<basalt::CStdException>(new CToshibaBluetoothException(*this));
}

void CToshibaBluetoothException::Throw() const { throw CToshibaBluetoothException(*this); }

basalt::ustring CToshibaBluetoothException::GetSource() const {
    basalt::ustring text;
    text.xload(corvane::GetLibraryModule(), kSourceText);
    return text;
}

UINT CToshibaBluetoothException::MessageId(LONG status) {
    for (const auto& entry : kMessages)
        if (entry.first == status) return entry.second;
    return kNoDescription;
}

basalt::ustring CToshibaBluetoothException::GetErrorMessage(LCID) const {
    basalt::ustring text;
    text.xload(corvane::GetLibraryModule(), MessageId(m_status));
    return text;
}

void ToStackAddress(ULONGLONG address, BYTE out[6]) {
    for (int i = 0; i < 6; ++i) out[i] = static_cast<BYTE>(address >> (8 * (5 - i)));
}

ULONGLONG FromStackAddress(const BYTE in[6]) {
    ULONGLONG address = 0;
    for (int i = 0; i < 6; ++i) address = (address << 8) | in[i];
    return address;
}

// ---------------------------------------------------------------------------
// The library and its wrapper

// The stack installs its library in a folder of its own on PATH, not in the
// system folder.
CToshibaBluetoothSDK::CToshibaLibrary::CToshibaLibrary()
    : basalt::CLibrary(L"TosBtApi.dll", basalt::CLibrary::searchVendor) {}

const CToshibaBluetoothSDK::CToshibaLibrary& CToshibaBluetoothSDK::CToshibaLibrary::Instance() {
    static basalt::CCriticalSection* const lock = new basalt::CCriticalSection;
    // Never unloaded: the stack may still post to windows while the process ends.
    static const CToshibaLibrary* library = nullptr;
    basalt::CLocker locker(*lock);
    if (library) return *library;
    // A failed load is not kept: a stack installed, or a PATH set, while the
    // client runs is found by the next object.
    std::unique_ptr<CToshibaLibrary> attempt(new CToshibaLibrary);
    if (!attempt->IsLoaded())
        throw basalt::CWinException(__LINE__, L"Library", L"LoadLibrary", attempt->GetError());
    library = attempt.release();
    return *library;
}

CToshibaBluetoothSDK::CToshibaBluetoothSDK() : m_status(0) {
    const CToshibaLibrary& library = CToshibaLibrary::Instance();
#define TOSBT_RESOLVE(name, args)                                                               \
    m_##name = library.Resolve<decltype(m_##name)>(#name);                                      \
    if (!m_##name) throw basalt::CWinException(__LINE__, L"Library", L"GetProcAddress", ::GetLastError());
    TOSBT_ENTRY_POINTS(TOSBT_RESOLVE)
#undef TOSBT_RESOLVE
}

CToshibaBluetoothSDK::~CToshibaBluetoothSDK() {}

void CToshibaBluetoothSDK::Fail(int line, const wchar_t* function) const {
    throw CToshibaBluetoothException(line, kFile, function, m_status);
}

// Calls the entry point and throws its status when it answers FALSE.
#define TOSBT_CALL(name, ...) \
    if (!m_##name(__VA_ARGS__, &m_status)) Fail(__LINE__, L## #name)

void CToshibaBluetoothSDK::OpenAPI(HWND window) { TOSBT_CALL(BtOpenAPI, window, kApplication); }

void CToshibaBluetoothSDK::CloseAPI() {
    if (!m_BtCloseAPI(&m_status)) Fail(__LINE__, L"BtCloseAPI");
}

ULONGLONG CToshibaBluetoothSDK::GetLocalAddress() {
    TosBt::CLocalInfo info;
    std::memset(&info, 0, sizeof info);
    TOSBT_CALL(BtGetLocalInfo2, &info);
    return FromStackAddress(info.address);
}

void CToshibaBluetoothSDK::SetLocalDeviceName(const basalt::ustring& name) {
    // A longer name is cut to the buffer, which then has no terminating zero:
    // the stack takes at most its buffer's size.
    BYTE buffer[kNameBufferSize] = {};
    std::string utf8 = Narrow(name, CP_UTF8);
    std::memcpy(buffer, utf8.data(), std::min(utf8.size(), kNameBufferSize));
    TOSBT_CALL(BtSetLocalDeviceName, buffer);
}

basalt::ustring CToshibaBluetoothSDK::GetLocalDeviceName() {
    BYTE buffer[kNameBufferSize + 1] = {};  // one more: a full buffer still ends
    TOSBT_CALL(BtGetLocalDeviceName, buffer);
    return Widen(reinterpret_cast<const char*>(buffer), CP_UTF8);
}

void CToshibaBluetoothSDK::SetClassOfDevice(DWORD classOfDevice) { TOSBT_CALL(BtSetClassOfDevice, classOfDevice); }

DWORD CToshibaBluetoothSDK::GetClassOfDevice() {
    DWORD classOfDevice = 0;
    TOSBT_CALL(BtGetClassOfDevice, &classOfDevice);
    return classOfDevice;
}

bool CToshibaBluetoothSDK::GetDiscoverabilityMode() {
    DWORD mode = 0;
    TOSBT_CALL(BtGetDiscoverabilityMode, &mode);
    return mode == 1;
}

bool CToshibaBluetoothSDK::GetConnectabilityMode() {
    DWORD mode = 0;
    TOSBT_CALL(BtGetConnectabilityMode, &mode);
    return mode == 1;
}

bool CToshibaBluetoothSDK::GetPairingMode() {
    DWORD mode = 0;
    TOSBT_CALL(BtGetPairingMode, &mode);
    return mode == 1;
}

void CToshibaBluetoothSDK::DiscoverRemoteDevice(void** list, DWORD flags, HWND window, UINT message, LPARAM param) {
    TOSBT_CALL(BtDiscoverRemoteDevice2, list, flags, window, message, param);
}

void CToshibaBluetoothSDK::CancelDiscoverRemoteDevice() {
    if (!m_BtCancelDiscoverRemoteDevice(&m_status)) Fail(__LINE__, L"BtCancelDiscoverRemoteDevice");
}

void CToshibaBluetoothSDK::MemFree(void* block) {
    if (block) TOSBT_CALL(BtMemFree, block);
}

void CToshibaBluetoothSDK::NotifyEvent(DWORD mask, HWND window, UINT message) {
    TOSBT_CALL(BtNotifyEvent, mask, window, message);
}

void CToshibaBluetoothSDK::CreateCOMM(const basalt::ustring& name, DWORD flags, DWORD kind) {
    char buffer[kCommNameBufferSize] = {};
    std::string narrow = CommName(name);
    std::memcpy(buffer, narrow.data(), std::min(narrow.size(), kCommNameBufferSize - 1));
    TOSBT_CALL(BtCreateCOMM, buffer, flags, kind);
}

void CToshibaBluetoothSDK::DestroyCOMM(const basalt::ustring& name) {
    TOSBT_CALL(BtDestroyCOMM, CommName(name).c_str());
}

void CToshibaBluetoothSDK::DisconnectCOMM(const basalt::ustring& name) {
    TOSBT_CALL(BtDisconnectCOMM, CommName(name).c_str());
}

void CToshibaBluetoothSDK::ConnectCOMM2(const basalt::ustring& name, const BYTE* address, BYTE channel, DWORD kind,
                                        WORD* connection, DWORD flags, HWND window, UINT message, LPARAM param) {
    TOSBT_CALL(BtConnectCOMM2, CommName(name).c_str(), address, channel, kind, connection, flags, window, message,
               param);
}

void CToshibaBluetoothSDK::NotifyCOMM(const basalt::ustring& name, DWORD mask, const BYTE* address, WORD connection,
                                      HWND window, UINT message, LPARAM param) {
    TOSBT_CALL(BtNotifyCOMM, CommName(name).c_str(), mask, address, connection, window, message, param);
}

std::vector<std::string> CToshibaBluetoothSDK::GetCOMMInfoList() {
    void* list = nullptr;
    TOSBT_CALL(BtGetCOMMInfoList2, &list);
    std::vector<std::string> names;
    if (!list) return names;
    const BYTE* bytes = static_cast<const BYTE*>(list);
    DWORD count = 0;
    std::memcpy(&count, bytes, sizeof count);
    for (DWORD i = 0; i < count; ++i) {
        const char* name =
            reinterpret_cast<const char*>(bytes + TosBt::commRecordsAt + i * TosBt::commRecordSize + TosBt::commNameAt);
        names.push_back(std::string(name, strnlen(name, TosBt::commNameSize)));
    }
    MemFree(list);
    return names;
}

void CToshibaBluetoothSDK::ConnectSDP(const BYTE* address, WORD* connection, HWND window, UINT message,
                                      LPARAM param) {
    TOSBT_CALL(BtConnectSDP, address, connection, window, message, param);
}

void CToshibaBluetoothSDK::DisconnectSDP(WORD connection) {
    if (!m_BtDisconnectSDP(connection, &m_status)) Fail(__LINE__, L"DisconnectSDP");
}

void CToshibaBluetoothSDK::MakeServiceSearchPattern(const BYTE* uuid, DWORD size, void** pattern) {
    TOSBT_CALL(BtMakeServiceSearchPattern2, uuid, size, pattern);
}

void CToshibaBluetoothSDK::MakeAttributeIDList(const WORD* ids, DWORD count, void** list) {
    TOSBT_CALL(BtMakeAttributeIDList2, ids, count, list);
}

void CToshibaBluetoothSDK::ServiceSearchAttribute(WORD connection, const void* pattern, const void* attributes,
                                                  void** result, HWND window, UINT message, LPARAM param) {
    TOSBT_CALL(BtServiceSearchAttribute2, connection, pattern, attributes, result, window, message, param);
}

void CToshibaBluetoothSDK::AnalyzeServiceAttributeLists(const void* result, void** analysed) {
    TOSBT_CALL(BtAnalyzeServiceAttributeLists2, result, analysed);
}

bool CToshibaBluetoothSDK::AnalyzeProtocolParameter(const void* record, TosBt::CProtocolParameters& parameters) {
    std::memset(&parameters, 0, sizeof parameters);
    return m_BtAnalyzeProtocolParameter2(record, &parameters, &m_status) != FALSE;
}

BOOL CToshibaBluetoothSDK::FreeAnalyzedAttributeList(void* analysed) {
    return m_BtFreePBTANALYZEDATTRLIST2(analysed, &m_status);
}

void CToshibaBluetoothSDK::SetAutoReplyPinCode(const BYTE* address, const basalt::ustring& pin) {
    TOSBT_CALL(BtSetAutoReplyPinCode, address, Narrow(pin, CP_UTF8).c_str());
}

void CToshibaBluetoothSDK::ClearAutoReplyPinCode(const BYTE* address) {
    TOSBT_CALL(BtClearAutoReplyPinCode, address);
}

#undef TOSBT_CALL

}  // namespace Toshiba
