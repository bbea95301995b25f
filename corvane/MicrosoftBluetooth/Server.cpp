#include "MicrosoftBluetooth/MicrosoftBluetooth.h"

#include "MicrosoftBluetooth/Winsock.h"

#include <cstring>

namespace Microsoft {

using namespace corvane;

namespace {

const wchar_t kFile[] = L"MicrosoftBluetooth";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// An address the stack gave for one end of an incoming connection; empty
// when it gave none or a short one.
boost::shared_ptr<const IPortAddr> EndAddress(LPWSABUF id) {
    if (!id || !id->buf || id->len < sizeof(SOCKADDR_BTH)) return boost::shared_ptr<const IPortAddr>();
    const SOCKADDR_BTH* address = reinterpret_cast<const SOCKADDR_BTH*>(id->buf);
    return CBluetoothPortAddr::CreateInstance(address->btAddr, 0, nullptr, nullptr, 0, 0);
}

}  // namespace

CBluetoothStreamServer::CBluetoothStreamServer(boost::shared_ptr<const IServerDescription> description,
                                               AcceptCallback callback, DWORD parameter)
    : m_description(description), m_callback(callback), m_parameter(parameter), m_registered(false),
      m_stop(true, false) {
    if (!description || description->GetKind() != 0)
        Fail(__LINE__, L"Microsoft::CBluetoothStreamServer::CBluetoothStreamServer", ERROR_INVALID_PARAMETER);
    std::memset(&m_local, 0, sizeof m_local);
    std::memset(&m_addressRecord, 0, sizeof m_addressRecord);
    std::memset(&m_query, 0, sizeof m_query);
    m_serviceClass = GUID_NULL;
}

CBluetoothStreamServer::~CBluetoothStreamServer() {
    try {
        Stop();
    } catch (const basalt::CStdException&) {
    }
}

bool CBluetoothStreamServer::IsRunning() const { return false; }

void CBluetoothStreamServer::Start() {
    Stop();
    m_stop.Reset();
    try {
        Listen();
        m_registered = true;
        m_thread = basalt::CThread::Create(ThreadProc, this);
    } catch (...) {
        // A listener or record left behind would hold its channel until the next Stop.
        Stop();
        throw;
    }
}

void CBluetoothStreamServer::Listen() {
    m_listener.UseCalls(&BthWinsock().sockets);
    m_listener.Create(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM, nullptr, 0, WSA_FLAG_OVERLAPPED);
    std::memset(&m_local, 0, sizeof m_local);
    m_local.addressFamily = AF_BTH;
    m_local.port = BT_PORT_ANY;
    m_listener.BindLL(reinterpret_cast<const sockaddr*>(&m_local), sizeof m_local);
    int length = sizeof m_local;
    m_listener.GetSockNameLL(reinterpret_cast<sockaddr*>(&m_local), &length);
    m_listener.Listen(SOMAXCONN);

    m_serviceClass = m_description->GetServiceClassId();
    m_serviceName = basalt::ustring(m_description->GetServiceName());
    m_comment = basalt::ustring(m_description->GetComment());
    std::memset(&m_addressRecord, 0, sizeof m_addressRecord);
    m_addressRecord.LocalAddr.lpSockaddr = reinterpret_cast<sockaddr*>(&m_local);
    m_addressRecord.LocalAddr.iSockaddrLength = sizeof m_local;
    m_addressRecord.iSocketType = SOCK_STREAM;
    m_addressRecord.iProtocol = BTHPROTO_RFCOMM;
    std::memset(&m_query, 0, sizeof m_query);
    m_query.dwSize = sizeof m_query;
    m_query.lpszServiceInstanceName = &m_serviceName[0];
    m_query.lpServiceClassId = &m_serviceClass;
    m_query.lpszComment = &m_comment[0];
    m_query.dwNameSpace = NS_BTH;
    m_query.dwNumberOfCsAddrs = 1;
    m_query.lpcsaBuffer = &m_addressRecord;
    if (BthWinsock().setService(&m_query, RNRSERVICE_REGISTER, 0) != 0)
        Fail(__LINE__, L"WSASetService", static_cast<DWORD>(::WSAGetLastError()));
}

void CBluetoothStreamServer::Stop() {
    if (m_thread.IsJoinable()) {
        m_stop.Set();
        m_thread.Join();
    }
    if (m_registered) {
        BthWinsock().setService(&m_query, RNRSERVICE_DELETE, 0);
        m_registered = false;
    }
    m_listener.Close();
    CObjectLocker lock(*this);
    m_error.reset();
}

boost::shared_ptr<IPort> CBluetoothStreamServer::GetNextPort() {
    CObjectLocker lock(*this);
    if (m_error) m_error->Throw();
    if (m_ports.empty()) return boost::shared_ptr<IPort>();
    boost::shared_ptr<IPort> port = m_ports.front();
    m_ports.pop_front();
    return port;
}

int CALLBACK CBluetoothStreamServer::AcceptCondition(LPWSABUF callerId, LPWSABUF, LPQOS, LPQOS, LPWSABUF calleeId,
                                                     LPWSABUF, GROUP*, DWORD_PTR context) {
    CBluetoothStreamServer* server = reinterpret_cast<CBluetoothStreamServer*>(context);
    if (!server->m_callback) return CF_ACCEPT;
    // The client's verdict goes to the stack as it is: CF_ACCEPT, CF_REJECT or CF_DEFER.
    return server->m_callback(EndAddress(calleeId), EndAddress(callerId), server->m_parameter);
}

DWORD WINAPI CBluetoothStreamServer::ThreadProc(void* server) {
    static_cast<CBluetoothStreamServer*>(server)->AcceptThreadProcFn();
    return 0;
}

void CBluetoothStreamServer::AcceptThreadProcFn() {
    try {
        basalt::CEvent accept(false, false);
        m_listener.EventSelect(accept.GetHandle(), FD_ACCEPT);
        HANDLE handles[2] = {m_stop.GetHandle(), accept.GetHandle()};
        for (;;) {
            DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) break;
            if (woken != WAIT_OBJECT_0 + 1) Fail(__LINE__, L"WaitForMultipleObjects", ::GetLastError());
            try {
                SOCKADDR_BTH remote;
                int length = sizeof remote;
                basalt::CWSASocket accepted = m_listener.AcceptLL(reinterpret_cast<sockaddr*>(&remote), &length,
                                                                  AcceptCondition, reinterpret_cast<DWORD_PTR>(this));
                if (!accepted.IsCreated()) continue;  // the client refused or deferred it
                // The accepted socket inherits the listener's event selection: its
                // own operations are overlapped and want none.
                accepted.EventSelect(nullptr, 0);
                boost::shared_ptr<IPort> port(new CBluetoothPort(std::move(accepted)));
                CObjectLocker lock(*this);
                m_ports.push_back(port);
                m_notifier.Fire(eventConnectionAccepted);
            } catch (const basalt::CWinException& e) {
                if (e.GetErrorCode() != WSAEWOULDBLOCK) throw;
            }
        }
    } catch (const basalt::CStdException& e) {
        CObjectLocker lock(*this);
        m_error = e.Clone();
        m_notifier.Fire(eventError);
    }
    CObjectLocker lock(*this);
    m_notifier.Fire(eventTerminated);
}

}  // namespace Microsoft

namespace corvane {
boost::shared_ptr<IStreamServer> CreateMicrosoftBluetoothServer(boost::shared_ptr<const IServerDescription> service,
                                                                AcceptCallback callback, DWORD context) {
    return boost::shared_ptr<IStreamServer>(new Microsoft::CBluetoothStreamServer(service, callback, context));
}
}  // namespace corvane
