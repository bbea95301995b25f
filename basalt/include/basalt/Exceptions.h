#pragma once
#include <basalt/ustring.h>

#include <boost/shared_ptr.hpp>

#include <exception>
#include <string>

namespace basalt {

// Root of every failure Basalt.dll and Corvane.dll throw. It carries where it
// was raised: the source line, the source file's stem ("Properties", "Serial")
// and the qualified name of the failing operation or API ("CSerialPort::Send",
// "WaitForMultipleObjects"). Catch by reference; Clone and Throw let a worker
// thread store one and another thread re-raise it with its most derived type.
class BASALT_API CStdException : public std::exception {
public:
    CStdException(int line, const wchar_t* file, const wchar_t* function);
    ~CStdException() override;

    int GetLine() const { return m_line; }
    const ustring& GetFile() const { return m_file; }
    const ustring& GetFunction() const { return m_function; }

    // The error code as text; empty for exceptions without a code.
    virtual ustring GetErrorCodeStr() const;
    virtual boost::shared_ptr<CStdException> Clone() const;
    // Throws a copy of this object as its most derived type.
    [[noreturn]] virtual void Throw() const;
    // What the failure concerns besides the function (a device, a reply); may be empty.
    virtual ustring GetSource() const;
    // A sentence describing the failure, in the language of lcid where the
    // system has one (0: the user's default).
    virtual ustring GetErrorMessage(LCID lcid = 0) const;
    // Writes the one-line description to the debugger output and stderr.
    virtual void ReportError() const;

    // "function: [code] message" in UTF-8.
    ustring Describe() const;
    const char* what() const noexcept override;

private:
    int m_line;
    ustring m_file;
    ustring m_function;
    mutable std::string m_what;
};

// A failure with a Windows error code.
class BASALT_API CWinException : public CStdException {
public:
    CWinException(int line, const wchar_t* file, const wchar_t* function, DWORD code);
    ~CWinException() override;

    DWORD GetErrorCode() const { return m_code; }
    ustring GetErrorCodeStr() const override;
    boost::shared_ptr<CStdException> Clone() const override;
    [[noreturn]] void Throw() const override;
    // The system's text for the code, or "Error N" when it has none.
    ustring GetErrorMessage(LCID lcid = 0) const override;

private:
    DWORD m_code;
};

// A failure of a dialogue with a device: the message says what went wrong and
// the source quotes what the device sent.
class BASALT_API CCommException : public CStdException {
public:
    CCommException(int line, const wchar_t* file, const wchar_t* function,
                   const wchar_t* message, const wchar_t* source);
    ~CCommException() override;

    boost::shared_ptr<CStdException> Clone() const override;
    [[noreturn]] void Throw() const override;
    ustring GetSource() const override;
    ustring GetErrorMessage(LCID lcid = 0) const override;

private:
    ustring m_message;
    ustring m_source;
};

}  // namespace basalt
