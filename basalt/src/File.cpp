#include <basalt/Exceptions.h>
#include <basalt/File.h>
#include <basalt/Library.h>
#include <basalt/Sync.h>

namespace basalt {

namespace {

const wchar_t kFile[] = L"File";

struct FileFunctions {
    decltype(&::CreateFileW) createFile;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::DeviceIoControl) deviceIoControl;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::GetOverlappedResult) getOverlappedResult;
    decltype(&::CancelIoEx) cancelIoEx;
    bool simulated;
};

FileFunctions Resolve() {
    FileFunctions kernel = {::CreateFileW, ::CloseHandle,        ::DeviceIoControl, ::ReadFile,
                            ::WriteFile,   ::GetOverlappedResult, ::CancelIoEx,     false};
    if (!CLibrary::SimulatorsRequested()) return kernel;
    // Never freed: handles it made may be closed during process exit, after
    // any owner we could give it had gone.
    CLibrary* standIn = new CLibrary(L"UsbSim.dll");
    FileFunctions sim = {standIn->Resolve<decltype(&::CreateFileW)>("CreateFileW"),
                         standIn->Resolve<decltype(&::CloseHandle)>("CloseHandle"),
                         standIn->Resolve<decltype(&::DeviceIoControl)>("DeviceIoControl"),
                         standIn->Resolve<decltype(&::ReadFile)>("ReadFile"),
                         standIn->Resolve<decltype(&::WriteFile)>("WriteFile"),
                         standIn->Resolve<decltype(&::GetOverlappedResult)>("GetOverlappedResult"),
                         standIn->Resolve<decltype(&::CancelIoEx)>("CancelIoEx"),
                         true};
    // Half a stand-in would mix two worlds on one handle: all or nothing.
    if (!sim.createFile || !sim.closeHandle || !sim.deviceIoControl || !sim.readFile || !sim.writeFile ||
        !sim.getOverlappedResult || !sim.cancelIoEx) {
        delete standIn;
        return kernel;
    }
    return sim;
}

const FileFunctions& Functions() {
    static const FileFunctions functions = Resolve();
    return functions;
}

[[noreturn]] void ThrowLastError(int line, const wchar_t* api) {
    DWORD code = ::GetLastError();
    throw CWinException(line, kFile, api, code);
}

}  // namespace

bool CFile::IsSimulated() { return Functions().simulated; }

void CFile::Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    Close();
    if (!path) throw CWinException(__LINE__, kFile, L"CreateFile", ERROR_INVALID_PARAMETER);
    HANDLE handle = Functions().createFile(path, access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) ThrowLastError(__LINE__, L"CreateFile");
    m_handle = handle;
    m_path = path;
}

void CFile::Close() noexcept {
    if (!IsOpen()) return;
    // Before the handle goes: the value may be handed out again at once.
    CLogFileServer::Ref().CloseLogFile(m_handle);
    Functions().closeHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_path.clear();
}

bool CFile::IoControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
                      DWORD* returned) {
    DWORD count = 0;
    BOOL done = Functions().deviceIoControl(m_handle, code, const_cast<void*>(input), inputSize, output, outputSize,
                                            &count, nullptr);
    if (returned) *returned = count;
    return done != FALSE;
}

bool CFile::Read(void* buffer, DWORD size, DWORD& done, OVERLAPPED& record) {
    DWORD count = 0;
    if (Functions().readFile(m_handle, buffer, size, &count, &record)) {
        done = count;
        return true;
    }
    if (::GetLastError() == ERROR_IO_PENDING) return false;
    ThrowLastError(__LINE__, L"ReadFile");
}

bool CFile::Write(const void* data, DWORD size, DWORD& done, OVERLAPPED& record) {
    DWORD count = 0;
    if (Functions().writeFile(m_handle, data, size, &count, &record)) {
        done = count;
        return true;
    }
    if (::GetLastError() == ERROR_IO_PENDING) return false;
    ThrowLastError(__LINE__, L"WriteFile");
}

bool CFile::GetOverlappedResult(OVERLAPPED& record, DWORD& done, bool wait) {
    DWORD count = 0;
    if (Functions().getOverlappedResult(m_handle, &record, &count, wait ? TRUE : FALSE)) {
        done = count;
        return true;
    }
    if (!wait && ::GetLastError() == ERROR_IO_INCOMPLETE) return false;
    ThrowLastError(__LINE__, L"GetOverlappedResult");
}

bool CFile::Cancel(OVERLAPPED& record) noexcept {
    return IsOpen() && Functions().cancelIoEx(m_handle, &record) != FALSE;
}

// ---------------------------------------------------------------------------

struct CLogFileServer::Impl {
    mutable CCriticalSection lock;
    std::map<HANDLE, ustring> logs;
};

CLogFileServer::CLogFileServer() : m_impl(new Impl) {}
CLogFileServer::~CLogFileServer() { delete m_impl; }

CLogFileServer& CLogFileServer::Ref() {
    static CLogFileServer server;
    return server;
}

void CLogFileServer::Attach(const CFile& file) {
    if (!file.IsOpen()) throw CWinException(__LINE__, kFile, L"CLogFileServer::Attach", ERROR_INVALID_HANDLE);
    CLocker lock(m_impl->lock);
    m_impl->logs[file.GetHandle()] = file.GetPath();
}

void CLogFileServer::CloseLogFile(const CFile& file) noexcept { CloseLogFile(file.GetHandle()); }

void CLogFileServer::CloseLogFile(HANDLE handle) noexcept {
    CLocker lock(m_impl->lock);
    m_impl->logs.erase(handle);
}

size_t CLogFileServer::GetOpenLogCount() const {
    CLocker lock(m_impl->lock);
    return m_impl->logs.size();
}

ustring CLogFileServer::GetLogName(HANDLE handle) const {
    CLocker lock(m_impl->lock);
    std::map<HANDLE, ustring>::const_iterator log = m_impl->logs.find(handle);
    return log == m_impl->logs.end() ? ustring() : log->second;
}

}  // namespace basalt
