// The settings of a COM port as values: DCB and COMMPROP to property set and
// back, and the line-control escape of a closed port.
#include "SerialRig.h"

#include <cstring>

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

// The DCB fields the settings name, in the order of the settings.
struct CField {
    const wchar_t* name;
    int bits;  // of a bit field; 0 for a whole field
    DWORD (*get)(const DCB&);
    void (*set)(DCB&, DWORD);
};
#define FIELD(name, bits) \
    { L## #name, bits, [](const DCB& d) { return static_cast<DWORD>(d.name); }, [](DCB& d, DWORD v) { d.name = v; } }
const CField kFields[] = {
    FIELD(BaudRate, 0),       FIELD(fParity, 1),     FIELD(fOutxCtsFlow, 1),  FIELD(fOutxDsrFlow, 1),
    FIELD(fDtrControl, 2),    FIELD(fDsrSensitivity, 1), FIELD(fTXContinueOnXoff, 1), FIELD(fOutX, 1),
    FIELD(fInX, 1),           FIELD(fErrorChar, 1),  FIELD(fNull, 1),         FIELD(fRtsControl, 2),
    FIELD(fAbortOnError, 1),  FIELD(XonLim, 0),      FIELD(XoffLim, 0),       FIELD(ByteSize, 0),
    FIELD(Parity, 0),         FIELD(StopBits, 0),    FIELD(XonChar, 0),       FIELD(XoffChar, 0),
    FIELD(ErrorChar, 0),      FIELD(EofChar, 0),     FIELD(EvtChar, 0)};
#undef FIELD

// A DCB whose whole fields all differ, and whose flags follow bit `pattern`
// of their position: over the patterns 0 to 3 every two flags differ at
// least once, so a setting written to, or read from, its neighbour shows.
DCB DistinctDcb(int pattern) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = 1;
    dcb.fDummy2 = 0x5A5A;  // not represented: must survive
    dcb.BaudRate = 1200u << pattern;  // rates of the table, so the settings offer them
    dcb.XonLim = 2000 + pattern;
    dcb.XoffLim = 300 + pattern;
    dcb.ByteSize = 5 + pattern % 4;
    dcb.Parity = 3 - pattern % 4;
    dcb.StopBits = pattern % 3;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0x3F;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    for (size_t i = 0; i < sizeof kFields / sizeof kFields[0]; ++i)
        if (kFields[i].bits == 1) kFields[i].set(dcb, (i >> pattern) & 1);
    dcb.fDtrControl = pattern % 3;
    dcb.fRtsControl = 3 - pattern % 4;
    return dcb;
}

bool SameDcb(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What a driver that can do everything reports: every rate, size and parity.
COMMPROP CapableDriver() {
    COMMPROP properties = {};
    properties.dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                                  SP_PARITY_CHECK | SP_RLSD;
    properties.dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                                    PCF_SPECIALCHARS | PCF_TOTALTIMEOUTS;
    properties.dwSettableBaud = 0xFFFFFFFF;
    properties.wSettableData = 0xFFFF;
    properties.wSettableStopParity = 0xFFFF;
    return properties;
}

}  // namespace

TEST(SerialSettingsSet, DriverWithoutCapabilitiesOffersTheCoreSettingsOnly) {
    COMMPROP bare = {};
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(bare, DistinctDcb(0), IProperty::accessFull);
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

TEST(SerialSettingsSet, WhatTheDriverCannotChangeIsReadOnlyWhateverThePolicy) {
    COMMPROP properties = CapableDriver();
    properties.dwSettableParams &= ~(SP_BAUD | SP_HANDSHAKING);
    properties.dwProvCapabilities &= ~PCF_SETXCHAR;
    boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(properties, DistinctDcb(0), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"BaudRate")->GetAccessPolicy(), IProperty::accessReadOnly);
    for (const wchar_t* name : {L"fOutxCtsFlow", L"fDtrControl", L"fRtsControl", L"fOutX", L"XonLim", L"XonChar"})
        EXPECT_EQ(set->Find(name)->GetAccessPolicy(), IProperty::accessReadOnly) << name;
    EXPECT_EQ(set->Find(L"ByteSize")->GetAccessPolicy(), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"ErrorChar")->GetAccessPolicy(), IProperty::accessFull);

    // Characters stay read-only without PCF_SETXCHAR even when handshaking is settable.
    properties = CapableDriver();
    properties.dwProvCapabilities &= ~PCF_SETXCHAR;
    set = CSerialPort::CreatePropertySet(properties, DistinctDcb(0), IProperty::accessFull);
    EXPECT_EQ(set->Find(L"XonChar")->GetAccessPolicy(), IProperty::accessReadOnly);
    EXPECT_EQ(set->Find(L"XonLim")->GetAccessPolicy(), IProperty::accessFull);

    // A read-only policy asked for makes every setting read-only.
    set = CSerialPort::CreatePropertySet(CapableDriver(), DistinctDcb(0), IProperty::accessReadOnly);
    for (DWORD i = 0; i < set->GetCount(); ++i)
        EXPECT_EQ(set->GetAt(i)->GetAccessPolicy(), IProperty::accessReadOnly);
}

// ---------------------------------------------------------------------------

TEST(SerialSettingsApply, EachSettingAloneChangesItsOwnFieldOnly) {
    for (int pattern = 0; pattern < 4; ++pattern) {
        const DCB before = DistinctDcb(pattern);
        for (const CField& field : kFields) {
            // A value the field does not hold, legal for its width and type.
            DWORD current = field.get(before);
            DWORD wanted = field.bits ? (current + 1) & ((1u << field.bits) - 1) : current + 1;
            CPropertySet settings;
            settings.AddCopy(
                CProperty(field.name, IProperty::accessFull, VT_I4, 0, 0, _variant_t(static_cast<long>(wanted))));
            DCB dcb = before, expected = before;
            serial::ApplySettings(settings, dcb);
            field.set(expected, wanted);
            EXPECT_TRUE(SameDcb(dcb, expected)) << "setting " << basalt::ustring(field.name).ToCodePage(CP_UTF8)
                                                << " alone, pattern " << pattern;
        }
        DCB dcb = before;
        serial::ApplySettings(CPropertySet(), dcb);
        EXPECT_TRUE(SameDcb(dcb, before)) << "an empty set changed the DCB";
    }
}

TEST(SerialSettingsApply, BitFieldsTakeTheLowBitsOfAnyNumber) {
    DCB dcb = DistinctDcb(1);
    const DWORD rtsControl = dcb.fRtsControl;
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
    EXPECT_EQ(dcb.fRtsControl, rtsControl);  // not named
}

TEST(SerialSettingsApply, TextsAreConvertedAndUnconvertibleValuesThrow) {
    DCB dcb = DistinctDcb(0);
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
    for (int pattern = 0; pattern < 4; ++pattern) {
        const DCB dcb = DistinctDcb(pattern);
        boost::shared_ptr<IPropertySet> set = CSerialPort::CreatePropertySet(CapableDriver(), dcb, IProperty::accessFull);
        // Through the text form, as a client would store settings.
        boost::shared_ptr<IPropertySet> stored = IPropertySet::CreateInstance(static_cast<const wchar_t*>(set->Save()));
        DCB applied = {};
        applied.DCBlength = sizeof applied;
        serial::ApplySettings(*stored, applied);
        applied.fBinary = dcb.fBinary;  // not represented
        applied.fDummy2 = dcb.fDummy2;
        EXPECT_TRUE(SameDcb(applied, dcb)) << "pattern " << pattern;
    }
}

TEST(SerialEscape, TheLineCommandOfAClosedPortIsRefused) {
    CSerialPort port(boost::shared_ptr<const IPortAddr>(new CSerialPortAddr(L"COM9", L"")));
    boost::shared_ptr<IPropertySet> args = port.Escape(L"EscapeCommFunction", nullptr);
    ASSERT_TRUE(args && args->SetValue(L"Func", _variant_t(static_cast<long>(SETDTR))));
    EXPECT_TRUE(testkit::ThrowsWinError([&] { port.Escape(L"EscapeCommFunction", args); },
                                        L"CSerialPort::CEscapeCommFunction::Invoke", ERROR_INVALID_HANDLE));
}
