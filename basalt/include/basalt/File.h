#pragma once
// A device file opened by path and driven with control codes and overlapped
// reads and writes, and the log-file server that keeps track of such files.
#include <basalt/Config.h>
#include <basalt/ustring.h>

#include <map>

namespace basalt {

// One open device file. The platform calls go through one table of the
// kernel's file functions (CreateFileW, CloseHandle, DeviceIoControl,
// ReadFile, WriteFile, GetOverlappedResult, CancelIoEx). A device whose
// driver is absent can be played by a stand-in: with CORVANE_SIMULATORS set,
// a "UsbSim.dll" beside the program that exports all seven functions under
// those names and signatures replaces the table (see CLibrary); it passes
// every path and handle that is not its own to the kernel. Without it, or on
// an ordinary Windows machine, the kernel's functions are called directly.
class BASALT_API CFile {
public:
    CFile() noexcept : m_handle(INVALID_HANDLE_VALUE) {}
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // CreateFileW; throws CWinException with "CreateFile" and the last error.
    // An open file is closed first.
    void Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    bool IsOpen() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE GetHandle() const noexcept { return m_handle; }
    const ustring& GetPath() const noexcept { return m_path; }
    // Closes the handle and its log (CLogFileServer::CloseLogFile); harmless when closed.
    void Close() noexcept;

    // DeviceIoControl without an OVERLAPPED record. False with the last error
    // kept: what a failure means is the caller's to say.
    bool IoControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
                   DWORD* returned);
    // Overlapped ReadFile / WriteFile: true when the operation completed at
    // once (done holds its count), false when it is pending (take its result
    // with GetOverlappedResult). Other failures throw with "ReadFile" or
    // "WriteFile" and the last error.
    bool Read(void* buffer, DWORD size, DWORD& done, OVERLAPPED& record);
    bool Write(const void* data, DWORD size, DWORD& done, OVERLAPPED& record);
    // The count of a finished operation; throws with "GetOverlappedResult"
    // and the operation's error (995 for a cancelled one). Without wait it
    // answers false while the operation is still pending.
    bool GetOverlappedResult(OVERLAPPED& record, DWORD& done, bool wait = true);
    // CancelIoEx for one pending operation; false when none was pending.
    bool Cancel(OVERLAPPED& record) noexcept;

    // True when the stand-in replaces the kernel's file functions in this process.
    static bool IsSimulated();

private:
    HANDLE m_handle;
    ustring m_path;
};

// The process's register of device files and their logs. A file is attached
// when it is opened and its log is closed before the handle goes, so that
// diagnostics can always name the device behind a handle.
class BASALT_API CLogFileServer {
public:
    static CLogFileServer& Ref();

    // Starts the log of an open file under its path; attaching again renews it.
    void Attach(const CFile& file);
    // Ends the log of the file's handle; harmless when it has none.
    void CloseLogFile(const CFile& file) noexcept;
    void CloseLogFile(HANDLE handle) noexcept;
    // The number of logs open, and the path a handle was attached under ("" when none).
    size_t GetOpenLogCount() const;
    ustring GetLogName(HANDLE handle) const;

private:
    CLogFileServer();
    ~CLogFileServer();
    CLogFileServer(const CLogFileServer&) = delete;
    CLogFileServer& operator=(const CLogFileServer&) = delete;

    struct Impl;
    Impl* m_impl;
};

}  // namespace basalt
