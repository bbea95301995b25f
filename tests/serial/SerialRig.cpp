#include "SerialRig.h"

#include <algorithm>

namespace serialtest {

boost::shared_ptr<const corvane::IPortAddr> RigAddress() {
    return boost::shared_ptr<const corvane::IPortAddr>(
        new corvane::CSerialPortAddr(nullmodem::PortName().c_str(), L"rig"));
}

void CFilteredPort::FailNext(const std::wstring& function, DWORD code) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_failing = function;
    m_failCode = code;
}

void CFilteredPort::MaybeFail(const wchar_t* function) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_failing != function) return;
    m_failing.clear();
    throw basalt::CWinException(__LINE__, L"CommPort", function, m_failCode);
}

void CFilteredPort::SetCommState(const DCB& dcb) {
    ++m_setStateCalls;
    MaybeFail(L"SetCommState");
    if (!acceptedRates.empty() &&
        std::find(acceptedRates.begin(), acceptedRates.end(), dcb.BaudRate) == acceptedRates.end())
        throw basalt::CWinException(__LINE__, L"CommPort", L"SetCommState", ERROR_INVALID_PARAMETER);
    basalt::CCommPort::SetCommState(dcb);
}

void CFilteredPort::GetCommProperties(COMMPROP& properties) {
    basalt::CCommPort::GetCommProperties(properties);
    if (replaceSettableBaud) properties.dwSettableBaud = settableBaud;
}

DWORD CFilteredPort::GetCommModemStatus() {
    MaybeFail(L"GetCommModemStatus");
    return basalt::CCommPort::GetCommModemStatus();
}

void CFilteredPort::SetupComm(DWORD inQueue, DWORD outQueue) {
    MaybeFail(L"SetupComm");
    basalt::CCommPort::SetupComm(inQueue, outQueue);
}

void CFilteredPort::SetCommMask(DWORD mask) {
    MaybeFail(L"SetCommMask");
    basalt::CCommPort::SetCommMask(mask);
}

bool CFilteredPort::WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped) {
    bool ready = basalt::CCommPort::WaitCommEvent(mask, overlapped);
    ++m_waits;
    return ready;
}

void CFilteredPort::ClearCommError(DWORD* errors, COMSTAT* status) {
    basalt::CCommPort::ClearCommError(errors, status);
    if (!errors || !cable) return;
    std::lock_guard<std::mutex> hold(m_lock);
    unsigned frames = cable->FramingErrors(nullmodem::CCable::port);
    unsigned breaks = cable->Breaks(nullmodem::CCable::port);
    if (frames != m_framesSeen) *errors |= CE_FRAME;
    if (breaks != m_breaksSeen) *errors |= CE_BREAK;
    m_framesSeen = frames;
    m_breaksSeen = breaks;
    m_reported |= *errors;
}

void CFilteredPort::ClearCommBreak() {
    ++m_breaksCleared;
    basalt::CCommPort::ClearCommBreak();
}

void CFilteredPort::PurgeComm(DWORD flags) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_purged.push_back(flags);
    }
    basalt::CCommPort::PurgeComm(flags);
}

}  // namespace serialtest
