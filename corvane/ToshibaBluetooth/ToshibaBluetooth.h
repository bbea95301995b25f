#pragma once
// Classic Bluetooth through the Toshiba stack: the wrapper around its
// application library and the stack's failures, the port that reaches a
// device through one of the stack's virtual COM ports, and the locator. The
// stack answers asynchronously with window messages, so the port and the
// locator each own a hidden window whose procedure does their work.
#include "Common.h"
#include "Shared/ComLine.h"
#include "Shared/PinEscape.h"
#include "ToshibaBluetooth/TosBtApi.h"
#include "ToshibaBluetooth/Windows.h"

#include <CorvaneAux/Escape.h>
#include <basalt/Library.h>
#include <basalt/Threads.h>

#include <atomic>
#include <deque>
#include <vector>

namespace Toshiba {

using corvane::EEventType;
using corvane::INotice;
using corvane::IPortAddr;
using corvane::IPropertySet;

// The stack's failures: its status, with a text from the library's string table.
class CToshibaBluetoothException : public basalt::CStdException {
public:
    CToshibaBluetoothException(int line, const wchar_t* file, const wchar_t* function, LONG status);
    ~CToshibaBluetoothException() override;

    LONG GetStatus() const { return m_status; }
    basalt::ustring GetErrorCodeStr() const override;
    boost::shared_ptr<basalt::CStdException> Clone() const override;
    [[noreturn]] void Throw() const override;
    basalt::ustring GetSource() const override;
    basalt::ustring GetErrorMessage(LCID lcid = 0) const override;

    // The string-table id that describes status (212 for a status without one).
    static UINT MessageId(LONG status);

private:
    LONG m_status;
};

// Bluetooth addresses as the stack passes them: six bytes, most significant first.
void ToStackAddress(ULONGLONG address, BYTE out[6]);
ULONGLONG FromStackAddress(const BYTE in[6]);

// One object per owner: resolves the library's entry points and turns each
// call's FALSE into CToshibaBluetoothException.
class CToshibaBluetoothSDK {
public:
    // The library, kept from the first load that succeeds until the process
    // ends; throws "LoadLibrary" with the load's error while it cannot be found.
    class CToshibaLibrary : public basalt::CLibrary {
    public:
        static const CToshibaLibrary& Instance();

    private:
        CToshibaLibrary();
    };

    CToshibaBluetoothSDK();
    virtual ~CToshibaBluetoothSDK();
    CToshibaBluetoothSDK(const CToshibaBluetoothSDK&) = delete;
    CToshibaBluetoothSDK& operator=(const CToshibaBluetoothSDK&) = delete;

    LONG GetStatus() const { return m_status; }

    void OpenAPI(HWND window);
    void CloseAPI();
    ULONGLONG GetLocalAddress();
    void SetLocalDeviceName(const basalt::ustring& name);
    basalt::ustring GetLocalDeviceName();
    void SetClassOfDevice(DWORD classOfDevice);
    DWORD GetClassOfDevice();
    bool GetDiscoverabilityMode();
    bool GetConnectabilityMode();
    bool GetPairingMode();
    void DiscoverRemoteDevice(void** list, DWORD flags, HWND window, UINT message, LPARAM param);
    void CancelDiscoverRemoteDevice();
    void MemFree(void* block);
    void NotifyEvent(DWORD mask, HWND window, UINT message);
    void CreateCOMM(const basalt::ustring& name, DWORD flags, DWORD kind);
    void DestroyCOMM(const basalt::ustring& name);
    void DisconnectCOMM(const basalt::ustring& name);
    void ConnectCOMM2(const basalt::ustring& name, const BYTE* address, BYTE channel, DWORD kind,
                      WORD* connection, DWORD flags, HWND window, UINT message, LPARAM param);
    void NotifyCOMM(const basalt::ustring& name, DWORD mask, const BYTE* address, WORD connection, HWND window,
                    UINT message, LPARAM param);
    // The names of the stack's virtual COM ports.
    std::vector<std::string> GetCOMMInfoList();
    void ConnectSDP(const BYTE* address, WORD* connection, HWND window, UINT message, LPARAM param);
    void DisconnectSDP(WORD connection);
    void MakeServiceSearchPattern(const BYTE* uuid, DWORD size, void** pattern);
    void MakeAttributeIDList(const WORD* ids, DWORD count, void** list);
    void ServiceSearchAttribute(WORD connection, const void* pattern, const void* attributes, void** result,
                                HWND window, UINT message, LPARAM param);
    void AnalyzeServiceAttributeLists(const void* result, void** analysed);
    // False when the record has no protocol parameters to analyse.
    bool AnalyzeProtocolParameter(const void* record, TosBt::CProtocolParameters& parameters);
    BOOL FreeAnalyzedAttributeList(void* analysed);
    void SetAutoReplyPinCode(const BYTE* address, const basalt::ustring& pin);
    void ClearAutoReplyPinCode(const BYTE* address);

private:
    [[noreturn]] void Fail(int line, const wchar_t* function) const;

    LONG m_status;
#define TOSBT_POINTER(name, args) BOOL(WINAPI* m_##name) args;
    TOSBT_ENTRY_POINTS(TOSBT_POINTER)
#undef TOSBT_POINTER
};

class CBluetoothPort : public corvane::CStreamPort, public basalt::CMultiThreadObject {
public:
    static constexpr DWORD minimumBufferSize = 4096;

    explicit CBluetoothPort(boost::shared_ptr<const IPortAddr> address);
    ~CBluetoothPort() override;

    bool IsOpen() const override;
    void Close() override;
    void Open() override;

    // The name of the virtual COM port in use; empty when none.
    basalt::ustring GetCommName() const;

    class CRegisterForAuthenticationFunc;
    class CUnregisterAuthenticationFunc;

    // The hidden window's messages from the stack; on the thread that pumps them.
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    // The virtual COM port is open: without the lock, which Open holds.
    bool CarriesBytes() const override;
    void StoreFailure(int line, LONG status);
    void Search(WORD serviceClass);
    void TakeSearchResults();
    void ConnectComm();
    void DropStackMessages();
    void Wait();
    void CloseLocked();
    static DWORD WINAPI RecvThreadProc(void* port);
    static DWORD WINAPI SendThreadProc(void* port);

    mutable basalt::CCriticalSection m_slots;
    CServiceWindow m_window;
    WORD m_sdpConnection;
    WORD m_commConnection;
    WORD m_serviceClass;
    BYTE m_channel;
    // The step of Open whose answers the window waits for.
    enum EStage { stageIdle, stageSdp, stageSearch, stageComm, stageOpen } m_stage;
    void* m_searchResult;
    // The stack answers every SDP connection it took once, also one whose
    // Open was given up before the answer came: such answers are owed, and
    // the next connection's answer is the one after them.
    bool m_sdpAnswered;
    unsigned m_sdpAnswersOwed;
    BYTE m_device[6];
    basalt::CEvent m_cancel;
    basalt::CEvent m_done;
    basalt::CEvent m_error;
    std::atomic<long> m_closing;  // Close calls waiting for the lock
    basalt::ustring m_commName;
    basalt::CThread m_recvThread;
    basalt::CThread m_sendThread;
    corvane::serial::CLine m_line;  // the COM device and the records, on the streams
    CToshibaBluetoothSDK m_sdk;
};

class CBluetoothPortLocator : public corvane::CNotifierOf<corvane::IPortLocator>, public basalt::CMultiThreadObject {
public:
    CBluetoothPortLocator();
    ~CBluetoothPortLocator() override;
    CBluetoothPortLocator(const CBluetoothPortLocator&) = delete;
    CBluetoothPortLocator& operator=(const CBluetoothPortLocator&) = delete;

    IPortAddr::EPortType GetType() const override { return IPortAddr::portBluetooth; }
    bool IsHardwareAvailableAndPoweredOn() const override;
    boost::shared_ptr<IPropertySet> GetSettings() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) override;
    void BeginSearch(DWORD classFilter, DWORD flags) override;
    void EndSearch() override;
    bool IsRunning() const override;
    boost::shared_ptr<const IPortAddr> GetNextAddress() override;

    // The hidden window's discovery messages; on the thread that pumps them.
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void TakeResults();
    void EndSearchLocked();

    mutable basalt::CCriticalSection m_lock;
    DWORD m_classFilter;
    DWORD m_flags;
    bool m_running;
    void* m_results;
    DWORD m_handled;
    DWORD m_search;  // the number of the latest search the radio was asked for
    CServiceWindow m_window;
    std::deque<boost::shared_ptr<const IPortAddr>> m_addresses;
    std::deque<boost::shared_ptr<const IPortAddr>> m_found;
    std::deque<boost::shared_ptr<basalt::CStdException>> m_errors;
    boost::shared_ptr<CToshibaBluetoothSDK> m_sdk;
    corvane::CEscapeFunctionManager<corvane::CEscapeFunction> m_escapes;
};

}  // namespace Toshiba

namespace corvane {
boost::shared_ptr<IPort> CreateToshibaBluetoothPort(boost::shared_ptr<const IPortAddr> address);
boost::shared_ptr<IPortLocator> CreateToshibaBluetoothPortLocator();
}  // namespace corvane
