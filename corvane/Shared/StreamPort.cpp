#include "Shared/StreamPort.h"

#include <algorithm>

namespace corvane {

// ---------------------------------------------------------------------------
// The plumbing

CPortStreams::CPortStreams(const CPortStreamRules& rules)
    : incoming(rules.defaultIncoming), outgoing(rules.defaultOutgoing), m_rules(rules) {}

void CPortStreams::Fail(int line, const wchar_t* function, DWORD code) const {
    throw basalt::CWinException(line, m_rules.file, function, code);
}

bool CPortStreams::RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return incoming.RegisterNotice(notice, type) && outgoing.RegisterNotice(notice, type);
}

bool CPortStreams::DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return incoming.DeregisterNotice(notice, type) && outgoing.DeregisterNotice(notice, type);
}

void CPortStreams::SetBufferSize(DWORD incomingSize, DWORD outgoingSize) {
    if (m_rules.sizes == CPortStreamRules::defaultIsFloor) {
        incoming.SetCapacity(std::max(incomingSize, m_rules.defaultIncoming));
        outgoing.SetCapacity(std::max(outgoingSize, m_rules.defaultOutgoing));
    } else {
        incoming.SetCapacity(incomingSize ? incomingSize : m_rules.defaultIncoming);
        outgoing.SetCapacity(outgoingSize ? outgoingSize : m_rules.defaultOutgoing);
    }
}

void CPortStreams::GetBufferSize(DWORD* incomingSize, DWORD* outgoingSize) const {
    if (incomingSize) *incomingSize = incoming.GetCapacity();
    if (outgoingSize) *outgoingSize = outgoing.GetCapacity();
}

void CPortStreams::Purge(DWORD flags) {
    if (flags & PURGE_TXCLEAR) outgoing.Clear();
    if (flags & PURGE_RXCLEAR) incoming.Clear();
}

DWORD CPortStreams::Send(bool open, const void* data, DWORD size) {
    if (!open) Fail(__LINE__, m_rules.sendFunction, ERROR_INVALID_HANDLE);
    if (!data && size) Fail(__LINE__, m_rules.sendFunction, ERROR_INVALID_PARAMETER);
    if (m_rules.errors == CPortStreamRules::errorsInIncoming) incoming.ThrowError();
    return outgoing.Write(data, size);
}

DWORD CPortStreams::Recv(bool open, void* buffer, DWORD size) {
    if (!open) Fail(__LINE__, m_rules.recvFunction, ERROR_INVALID_HANDLE);
    return incoming.Read(buffer, size);
}

void CPortStreams::Reset() {
    incoming.Reset(false);
    outgoing.Reset(false);
}

// ---------------------------------------------------------------------------
// The ports' base

CStreamPort::CStreamPort(boost::shared_ptr<const IPortAddr> address, const CPortStreamRules& rules)
    : m_address(address), m_streams(rules) {}

void CStreamPort::CloseQuietly() noexcept {
    try {
        Close();
    } catch (...) {
    }
}

bool CStreamPort::RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_streams.RegisterNotice(notice, type);
}

bool CStreamPort::DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_streams.DeregisterNotice(notice, type);
}

void CStreamPort::SetBufferSize(DWORD incoming, DWORD outgoing) { m_streams.SetBufferSize(incoming, outgoing); }

void CStreamPort::GetBufferSize(DWORD* incoming, DWORD* outgoing) { m_streams.GetBufferSize(incoming, outgoing); }

void CStreamPort::Purge(DWORD flags) { m_streams.Purge(flags); }

DWORD CStreamPort::Send(const void* data, DWORD size) { return m_streams.Send(CarriesBytes(), data, size); }

DWORD CStreamPort::Recv(void* buffer, DWORD size) { return m_streams.Recv(CarriesBytes(), buffer, size); }

boost::shared_ptr<const IPortAddr> CStreamPort::GetAddress() const { return m_address; }

boost::shared_ptr<IPropertySet> CStreamPort::Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) {
    return m_escapes.Escape(name, args);
}

bool CStreamPort::IoControl(DWORD, DWORD*) { return false; }

boost::shared_ptr<IPropertySet> CStreamPort::GetSettings() { return boost::shared_ptr<IPropertySet>(); }

void CStreamPort::SetSettings(boost::shared_ptr<IPropertySet>) {}

boost::shared_ptr<IPropertySet> CStreamPort::GetStatus() { return boost::shared_ptr<IPropertySet>(); }

}  // namespace corvane
