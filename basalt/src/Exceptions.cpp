#include <basalt/Exceptions.h>

#include <cstdio>

namespace basalt {

CStdException::CStdException(int line, const wchar_t* file, const wchar_t* function)
    : m_line(line), m_file(file), m_function(function) {}

CStdException::~CStdException() = default;

ustring CStdException::GetErrorCodeStr() const { return ustring(); }

boost::shared_ptr<CStdException> CStdException::Clone() const {
    return boost::shared_ptr<CStdException>(new CStdException(*this));
}

void CStdException::Throw() const { throw CStdException(*this); }

ustring CStdException::GetSource() const { return ustring(); }

ustring CStdException::GetErrorMessage(LCID) const { return ustring(L"Unspecified error"); }

ustring CStdException::Describe() const {
    ustring text(m_function);
    text += L": ";
    ustring code = GetErrorCodeStr();
    if (!code.empty()) {
        text += L"[";
        text += code;
        text += L"] ";
    }
    text += GetErrorMessage();
    ustring source = GetSource();
    if (!source.empty()) {
        text += L" (";
        text += source;
        text += L")";
    }
    return text;
}

void CStdException::ReportError() const {
    ustring line = Describe();
    line += L"\n";
    ::OutputDebugStringW(line.c_str());
    std::fputs(line.ToCodePage(CP_UTF8).c_str(), stderr);
}

const char* CStdException::what() const noexcept {
    try {
        m_what = Describe().ToCodePage(CP_UTF8);
    } catch (...) {
        return "basalt::CStdException";
    }
    return m_what.c_str();
}

CWinException::CWinException(int line, const wchar_t* file, const wchar_t* function, DWORD code)
    : CStdException(line, file, function), m_code(code) {}

CWinException::~CWinException() = default;

ustring CWinException::GetErrorCodeStr() const {
    ustring text;
    // HRESULTs read better in hexadecimal.
    return (m_code & 0x80000000u) ? text.sprintf(L"0x%08lX", static_cast<unsigned long>(m_code))
                                  : text.sprintf(L"%lu", static_cast<unsigned long>(m_code));
}

boost::shared_ptr<CStdException> CWinException::Clone() const {
    return boost::shared_ptr<CStdException>(new CWinException(*this));
}

void CWinException::Throw() const { throw CWinException(*this); }

ustring CWinException::GetErrorMessage(LCID lcid) const {
    wchar_t* buffer = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                  FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = ::FormatMessageW(flags, nullptr, m_code, LANGIDFROMLCID(lcid),
                                    reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 && lcid != 0)
        length = ::FormatMessageW(flags, nullptr, m_code, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                                  nullptr);
    ustring text;
    if (length > 0 && buffer) text.assign(buffer, length);
    if (buffer) ::LocalFree(buffer);
    text.trim();
    if (text.empty()) text.sprintf(L"Error %lu", static_cast<unsigned long>(m_code));
    return text;
}

CCommException::CCommException(int line, const wchar_t* file, const wchar_t* function,
                               const wchar_t* message, const wchar_t* source)
    : CStdException(line, file, function), m_message(message), m_source(source) {}

CCommException::~CCommException() = default;

boost::shared_ptr<CStdException> CCommException::Clone() const {
    return boost::shared_ptr<CStdException>(new CCommException(*this));
}

void CCommException::Throw() const { throw CCommException(*this); }

ustring CCommException::GetSource() const { return m_source; }

ustring CCommException::GetErrorMessage(LCID) const { return m_message; }

}  // namespace basalt
