#pragma once
// The base of a locator whose whole search runs inside BeginSearch, on the
// caller's thread (COM ports, USB instruments): the hardware is always there,
// no search is ever running, EndSearch has nothing to end, there are no
// settings, and Escape fails with ERROR_NOT_SUPPORTED under the locator's name.
#include "Notices.h"

namespace corvane {

class CImmediateLocator : public CNotifierOf<IPortLocator> {
public:
    bool IsHardwareAvailableAndPoweredOn() const override { return true; }
    boost::shared_ptr<IPropertySet> GetSettings() override { return boost::shared_ptr<IPropertySet>(); }
    void SetSettings(boost::shared_ptr<IPropertySet>) override {}
    boost::shared_ptr<IPropertySet> Escape(const wchar_t*, boost::shared_ptr<IPropertySet>) override {
        throw basalt::CWinException(__LINE__, m_file, m_escapeFunction, ERROR_NOT_SUPPORTED);
    }
    void EndSearch() override {}
    bool IsRunning() const override { return false; }

protected:
    // file and escapeFunction name the locator's Escape failure; both are
    // constants of the locator's own.
    CImmediateLocator(const wchar_t* file, const wchar_t* escapeFunction)
        : m_file(file), m_escapeFunction(escapeFunction) {}

private:
    const wchar_t* m_file;
    const wchar_t* m_escapeFunction;
};

}  // namespace corvane
