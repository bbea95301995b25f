#pragma once
// "RegisterForAuthentication" (PIN, VT_BSTR): the escape by which a classic
// Bluetooth port is given the PIN its device is to be answered with. Each
// driver stores the PIN its own way, in Invoke.
#include <CorvaneAux/Escape.h>

namespace corvane {

template <class TPort>
class CRegisterPinFunction : public COwnedEscapeFunction<TPort> {
public:
    explicit CRegisterPinFunction(TPort* port) : COwnedEscapeFunction<TPort>(L"RegisterForAuthentication", 0, port) {}
    boost::shared_ptr<IPropertySet> GetParameters() const override { return OneParameter(L"PIN", VT_BSTR, L""); }

protected:
    ~CRegisterPinFunction() {}
};

}  // namespace corvane
