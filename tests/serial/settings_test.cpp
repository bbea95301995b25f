// The settings of a COM port as values: DCB and COMMPROP to property set and
// back, the write time, and the template of the line-control escape.
#include "SerialRig.h"

using namespace corvane;

namespace {

std::vector<std::wstring> Names(const IPropertySet& set) {
    std::vector<std::wstring> names;
    for (DWORD i = 0; i < set.GetCount(); ++i) names.push_back(std::wstring(set.GetAt(i)->GetName()));
    return names;
}

std::vector<std::wstring> OptionNames(IProperty& property) {
    std::vector<std::wstring> names;
    const IOptionSet& options = property.GetOptions();
    for (DWORD i = 0; i < options.GetCount(); ++i) names.push_back(std::wstring(options.GetAt(i)->GetName(1033)));
    return names;
}

std::vector<unsigned long> OptionNumbers(IProperty& property) {
    std::vector<unsigned long> values;
    const IOptionSet& options = property.GetOptions();
    for (DWORD i = 0; i < options.GetCount(); ++i) {
        _variant_t value = options.GetAt(i)->GetValue();
        value.ChangeType(VT_UI4);
        values.push_back(V_UI4(&value));
    }
    return values;
}

unsigned long Number(const IPropertySet& set, const wchar_t* name) {
    _variant_t value = set.Find(name)->GetValue();
    value.ChangeType(VT_UI4);
    return V_UI4(&value);
}

DCB SampleDcb() {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = 0x1A;
    return dcb;
}

// What a capable driver reports: everything settable, 9600 and 115200 only.
COMMPROP CapableDriver() {
    COMMPROP properties = {};
    properties.dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                                  SP_PARITY_CHECK | SP_RLSD;
    properties.dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                                    PCF_SPECIALCHARS | PCF_TOTALTIMEOUTS;
    properties.dwSettableBaud = BAUD_9600 | BAUD_115200;
    properties.wSettableData = DATABITS_7 | DATABITS_8;
    properties.wSettableStopParity = STOPBITS_10 | STOPBITS_20 | PARITY_NONE | PARITY_EVEN;
    return properties;
}

}  // namespace

TEST(SerialSettingsSet, DriverWithoutCapabilitiesOffersTheCoreSettingsOnly) {
    COMMPROP bare = {};
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(bare, SampleDcb(), IProperty::accessFull);
    EXPECT_EQ(Names(*set), (std::vector<std::wstring>{L"BaudRate", L"fNull", L"fRtsControl", L"fAbortOnError",
                                                      L"ByteSize", L"Parity", L"StopBits"}));
    EXPECT_EQ(OptionNames(*set->Find(L"fRtsControl")), std::vector<std::wstring>{L"Disable"});
    // Nothing is settable: every setting that the parameters govern is read-only.
    EXPECT_EQ(set->Find(L"BaudRate")->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(set->Find(L"ByteSize")->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(set->Find(L"fRtsControl")->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(set->Find(L"fNull")->GetAccessPolicy(), IProperty::accessFull);
    // No rate is offered, so the rate in the DCB is not a legal value either.
    EXPECT_EQ(set->Find(L"BaudRate")->GetOptions().GetCount(), 0u);
    EXPECT_EQ(set->Find(L"BaudRate")->GetValue().vt, VT_EMPTY);
}

TEST(SerialSettingsSet, CapableDriverOffersEverySettingInDcbOrder) {
    boost::shared_ptr<IPropertySet> set =
        CSerialPort::CreatePropertySet(CapableDriver(), SampleDcb(), IProperty::accessFull);
    EXPECT_EQ(Names(*set),
              (std::vector<std::wstring>{L"BaudRate", L"fParity", L"fOutxCtsFlow", L"fOutxDsrFlow", L"fDtrControl",
                                         L"fDsrSensitivity", L"fTXContinueOnXoff", L"fOutX", L"fInX", L"fErrorChar",
                                         L"fNull", L"fRtsControl", L"fAbortOnError", L"XonLim", L"XoffLim",
                                         L"ByteSize", L"Parity", L"StopBits", L"XonChar", L"XoffChar", L"ErrorChar",
                                         L"EofChar", L"EvtChar"}));
    for (DWORD i = 0; i < set->GetCount(); ++i)
        EXPECT_EQ(set->GetAt(i)->GetAccessPolicy(), IProperty::accessFull) << std::wstring(set->GetAt(i)->GetName());

    EXPECT_EQ(OptionNumbers(*set->Find(L"BaudRate")), (std::vector<unsigned long>{9600, 115200}));
    EXPECT_EQ(Number(*set, L"BaudRate"), 9600u);
    EXPECT_EQ(OptionNumbers(*set->Find(L"ByteSize")), (std::vector<unsigned long>{7, 8}));
    EXPECT_EQ(OptionNames(*set->Find(L"Parity")), (std::vector<std::wstring>{L"No parity", L"Even"}));
    EXPECT_EQ(std::wstring(set->Find(L"Parity")->GetDisplayText(1033)), L"Even");
    EXPECT_EQ(OptionNames(*set->Find(L"StopBits")), (std::vector<std::wstring>{L"1 stop bit", L"2 stop bits"}));
    EXPECT_EQ(OptionNames(*set->Find(L"fDtrControl")),
              (std::vector<std::wstring>{L"Disable", L"Enable", L"Handshake"}));
    EXPECT_EQ(OptionNames(*set->Find(L"fRtsControl")),
              (std::vector<std::wstring>{L"Disable", L"Enable", L"Handshake", L"Toggle"}));
    EXPECT_EQ(Number(*set, L"fRtsControl"), 2u);

    // Flags are booleans with the two options; limits and characters carry the DCB's values.
    EXPECT_EQ(set->Find(L"fOutxCtsFlow")->GetVarType(), VT_BOOL);
    EXPECT_EQ(set->Find(L"fOutxCtsFlow")->GetOptions().GetCount(), 2u);
    EXPECT_EQ(set->Find(L"fOutxCtsFlow")->GetValue(), _variant_t(true));
    EXPECT_EQ(set->Find(L"fOutX")->GetValue(), _variant_t(false));
    EXPECT_EQ(set->Find(L"XonLim")->GetVarType(), VT_UI2);
    EXPECT_EQ(Number(*set, L"XonLim"), 2048u);
    EXPECT_EQ(set->Find(L"XonChar")->GetVarType(), VT_I1);
    EXPECT_EQ(Number(*set, L"XoffChar"), 0x13u);
    EXPECT_EQ(Number(*set, L"EofChar"), 0x1Au);
}

TEST(SerialSettingsSet, WhatTheDriverCannotChangeIsReadOnlyWhateverThePolicy) {
    COMMPROP properties = CapableDriver();
    properties.dwSettableParams &= ~(SP_BAUD | SP_HANDSHAKING);
    properties.dwProvCapabilities &= ~PCF_SETXCHAR;
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(properties, SampleDcb(), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"BaudRate")->GetAccessPolicy(), IProperty::accessReadOnly);
    for (const wchar_t* name : {L"fOutxCtsFlow", L"fDtrControl", L"fRtsControl", L"fOutX", L"XonLim", L"XonChar"})
        EXPECT_EQ(set->Find(name)->GetAccessPolicy(), IProperty::accessReadOnly) << name;
    EXPECT_EQ(set->Find(L"ByteSize")->GetAccessPolicy(), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"ErrorChar")->GetAccessPolicy(), IProperty::accessFull);

    // Characters stay read-only without PCF_SETXCHAR even when handshaking is settable.
    properties = CapableDriver();
    properties.dwProvCapabilities &= ~PCF_SETXCHAR;
    set = CSerialPort::CreatePropertySet(properties, SampleDcb(), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"XonChar")->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(set->Find(L"XonLim")->GetAccessPolicy(), IProperty::accessFull);

    // A read-only policy asked for makes every setting read-only.
    set = CSerialPort::CreatePropertySet(CapableDriver(), SampleDcb(), IProperty::accessReadOnly);
    for (DWORD i = 0; i < set->GetCount(); ++i)
        EXPECT_EQ(set->GetAt(i)->GetAccessPolicy(), IProperty::accessReadOnly);
}

TEST(SerialSettingsSet, RatesAboveTheWin32BitsAreOfferedThroughTheirOwnBits) {
    COMMPROP properties = CapableDriver();
    properties.dwSettableBaud = BAUD_57600 | BAUD_115200 | BAUD_128K | 0x80000 | 0x400000;
    DCB dcb = SampleDcb();
    dcb.BaudRate = 115200;
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(properties, dcb, IProperty::accessFull);
    EXPECT_EQ(OptionNumbers(*set->Find(L"BaudRate")),
              (std::vector<unsigned long>{57600, 115200, 128000, 153600, 921600}));
    // The returned set is the caller's: changing it changes no other set.
    EXPECT_TRUE(set->SetValue(L"BaudRate", _variant_t(921600L)));
    boost::shared_ptr<IPropertySet> again = CSerialPort::CreatePropertySet(properties, dcb, IProperty::accessFull);
    EXPECT_EQ(Number(*again, L"BaudRate"), 115200u);
    // A rate the driver does not offer is no legal value: the setting is empty.
    dcb.BaudRate = 9600;
    EXPECT_EQ(CSerialPort::CreatePropertySet(properties, dcb, IProperty::accessFull)->Find(L"BaudRate")->GetValue().vt,
              VT_EMPTY);
}

// ---------------------------------------------------------------------------

TEST(SerialSettingsApply, OnlyTheNamedFieldsChange) {
    DCB before = SampleDcb();
    DCB dcb = before;
    CPropertySet settings;
    settings.AddCopy(CProperty(L"BaudRate", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(4800UL)));
    serial::ApplySettings(settings, dcb);
    DCB expected = before;
    expected.BaudRate = 4800;
    EXPECT_EQ(0, memcmp(&dcb, &expected, sizeof dcb));

    // An empty set changes nothing.
    dcb = before;
    serial::ApplySettings(CPropertySet(), dcb);
    EXPECT_EQ(0, memcmp(&dcb, &before, sizeof dcb));
}

TEST(SerialSettingsApply, BitFieldsTakeTheLowBitsOfAnyNumber) {
    DCB dcb = SampleDcb();
    CPropertySet settings;
    settings.AddCopy(CProperty(L"fDtrControl", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(6UL)));
    settings.AddCopy(CProperty(L"fOutX", IProperty::accessFull, VT_BOOL, 0, 0, _variant_t(true)));
    settings.AddCopy(CProperty(L"fOutxCtsFlow", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(2UL)));
    settings.AddCopy(CProperty(L"fParity", IProperty::accessFull, VT_I4, 0, 0, _variant_t(3L)));
    // Access policies of the given properties are not consulted.
    settings.AddCopy(CProperty(L"XoffLim", IProperty::accessReadOnly, VT_UI2, 0, 0, _variant_t(100L)));
    serial::ApplySettings(settings, dcb);
    EXPECT_EQ(dcb.fDtrControl, 2u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.XoffLim, 100);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));  // not named
}

TEST(SerialSettingsApply, TextsAreConvertedAndUnconvertibleValuesThrow) {
    DCB dcb = SampleDcb();
    CPropertySet settings;
    settings.AddCopy(CProperty(L"BaudRate", IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L"19200")));
    settings.AddCopy(CProperty(L"StopBits", IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L"2")));
    serial::ApplySettings(settings, dcb);
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    CPropertySet bad;
    bad.AddCopy(CProperty(L"ByteSize", IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L"eight")));
    EXPECT_THROW(serial::ApplySettings(bad, dcb), _com_error);
    CPropertySet tooBig;
    tooBig.AddCopy(CProperty(L"XonChar", IProperty::accessFull, VT_I4, 0, 0, _variant_t(300L)));
    EXPECT_THROW(serial::ApplySettings(tooBig, dcb), _com_error);
}

TEST(SerialSettingsApply, SettingsReadBackFromTheirOwnSetLeaveTheDcbAsItWas) {
    DCB dcb = SampleDcb();
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(CapableDriver(), dcb, IProperty::accessFull);
    // Through the text form, as a client would store settings.
    boost::shared_ptr<IPropertySet> stored = IPropertySet::CreateInstance(static_cast<const wchar_t*>(set->Save()));
    DCB applied = {};
    applied.DCBlength = sizeof applied;
    serial::ApplySettings(*stored, applied);
    applied.fBinary = dcb.fBinary;  // not represented
    EXPECT_EQ(0, memcmp(&applied, &dcb, sizeof dcb));
}

TEST(SerialWriteTime, TwiceTheBitTimeRoundedUp) {
    EXPECT_EQ(serial::WriteTimeMs(9600), 2u);
    EXPECT_EQ(serial::WriteTimeMs(115200), 1u);
    EXPECT_EQ(serial::WriteTimeMs(4800), 4u);
    EXPECT_EQ(serial::WriteTimeMs(75), 214u);
    EXPECT_EQ(serial::WriteTimeMs(9600, 100), 167u);
    EXPECT_EQ(serial::WriteTimeMs(0), 0u);
    COMMTIMEOUTS timeouts = serial::PortTimeouts(4800);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 100u);
}

TEST(SerialEscape, TemplateOffersTheLineCommandsInCodeOrder) {
    CSerialPort port(boost::shared_ptr<const IPortAddr>(new CSerialPortAddr(L"COM9", L"")));
    boost::shared_ptr<IPropertySet> list = port.Escape(nullptr, boost::shared_ptr<IPropertySet>());
    ASSERT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(std::wstring(list->GetAt(0)->GetName()), L"EscapeCommFunction");
    EXPECT_EQ(list->GetAt(0)->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(list->GetAt(0)->GetVarType(), VT_EMPTY);

    boost::shared_ptr<IPropertySet> parameters = port.Escape(L"EscapeCommFunction", boost::shared_ptr<IPropertySet>());
    ASSERT_EQ(parameters->GetCount(), 1u);
    boost::shared_ptr<IProperty> func = parameters->Find(L"Func");
    ASSERT_TRUE(func);
    EXPECT_EQ(func->GetVarType(), VT_UI4);
    EXPECT_EQ(func->GetAccessPolicy(), IProperty::accessFull);
    EXPECT_EQ(OptionNumbers(*func), (std::vector<unsigned long>{1, 2, 3, 4, 5, 6, 8, 9}));
    EXPECT_EQ(OptionNames(*func), (std::vector<std::wstring>{L"SETXOFF", L"SETXON", L"SETRTS", L"CLRRTS", L"SETDTR",
                                                             L"CLRDTR", L"SETBREAK", L"CLRBREAK"}));
    // The template is filled in like any set; a code outside the list is refused there.
    EXPECT_TRUE(parameters->SetValue(L"Func", _variant_t(5L)));
    EXPECT_FALSE(parameters->SetValue(L"Func", _variant_t(7L)));
}

TEST(SerialEscape, CommandsOnAClosedPortOrWithoutFuncAreRefused) {
    CSerialPort port(boost::shared_ptr<const IPortAddr>(new CSerialPortAddr(L"COM9", L"")));
    boost::shared_ptr<IPropertySet> args(new CPropertySet);
    try {
        port.Escape(L"EscapeCommFunction", args);
        FAIL() << "no error on a closed port";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(e.GetFunction(), basalt::ustring(L"CSerialPort::CEscapeCommFunction::Invoke"));
        EXPECT_EQ(e.GetFile(), basalt::ustring(L"Serial"));
    }
    try {
        port.Escape(L"SetBreak", args);
        FAIL() << "an unknown command ran";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
}
