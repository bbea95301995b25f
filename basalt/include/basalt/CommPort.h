#pragma once
// A COM port handle and the Win32 communications calls on it, one member per
// function with the function's own arguments. Members that return nothing
// throw CWinException carrying the function's name and the GetLastError code
// read right at the failing call. The members are virtual so that a test can
// put a filter or a fake in front of the device.
#include <basalt/Sync.h>

namespace basalt {

class BASALT_API CCommPort {
public:
    CCommPort() = default;
    virtual ~CCommPort();
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    // CreateFileW for reading and writing, not shared, with flags such as
    // FILE_FLAG_OVERLAPPED ("CreateFile"). Closes a handle held before.
    virtual void Open(const wchar_t* name, DWORD flags);
    virtual bool IsOpen() const;
    virtual void Close();
    HANDLE GetHandle() const { return m_handle.Get(); }

    virtual void ClearCommError(DWORD* errors, COMSTAT* status);
    virtual void ClearCommBreak();
    // The MS_*_ON bits of the lines the port reads.
    virtual DWORD GetCommModemStatus();
    // Sets DCBlength before asking.
    virtual void GetCommState(DCB& dcb);
    virtual void SetCommState(const DCB& dcb);
    virtual void GetCommProperties(COMMPROP& properties);
    virtual void GetCommTimeouts(COMMTIMEOUTS& timeouts);
    virtual void SetCommTimeouts(const COMMTIMEOUTS& timeouts);
    virtual DWORD GetCommMask();
    virtual void SetCommMask(DWORD mask);
    virtual void SetupComm(DWORD inQueue, DWORD outQueue);
    virtual void PurgeComm(DWORD flags);
    virtual void EscapeCommFunction(DWORD function);

    // The overlapped operations answer whether they completed at once (true,
    // with *mask or *count filled in) or are pending (false); any other
    // failure throws.
    virtual bool WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped);
    virtual bool ReadFile(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped);
    virtual bool WriteFile(const void* data, DWORD size, DWORD* count, OVERLAPPED* overlapped);
    // True with *count once the operation has completed; false only when not
    // waiting and it still runs. A read or write that ended at its total
    // time-out has completed, with the bytes it moved.
    virtual bool GetOverlappedResult(OVERLAPPED* overlapped, DWORD* count, bool wait);
    // CancelIoEx: the operation of one OVERLAPPED, or every operation on the
    // handle when it is null. False when there was nothing to cancel.
    virtual bool CancelIo(OVERLAPPED* overlapped = nullptr);

private:
    CHandle m_handle;
};

}  // namespace basalt
