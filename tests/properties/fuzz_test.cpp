// Randomized texts: mutations of valid property-set texts either load or
// raise one of the reader's documented errors, and whatever loads saves to a
// text that loads back to an equal set.
#include "Expect.h"
#include "corvane/Properties.h"

#include <random>
#include <string>
#include <vector>

using namespace corvane;

namespace {

// Valid texts, as the writer produces them and as people type them.
const wchar_t* const kSeeds[] = {
    L"Id=\"Baud\",vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={9600,\"9600\",0}|{19200,\"fast\",3};"
    L"Id=\"Name\",AP=read-only,vt=VT_BSTR,Flags=1,PL=2,Value=\"a, {b}\",Min=1,Max=20;"
    L"Id=\"Parity\",vt=VT_BSTR,Flags=0,PL=0,Value=\"N\",Options={\"N\",\"None\",0}|{\"E\",\"Even\",1}|{\"\",\"\",0};",
    L"Id=\"Echo\",vt=VT_BOOL,Flags=1,PL=0,Value=-1,Options={0,\"0\",0}|{-1,\"-1\",0};"
    L"Id=\"R\",vt=VT_R8,Flags=0,PL=0,Value=0.30000000000000004,Min=-1,Max=1.5;"
    L"Id=\"F\",vt=VT_R4,Flags=0,PL=0,Value=1.234568E-20,Options={1.234568E-20}|{16777217,\"big\"};",
    L"Id=\"When\",vt=VT_DATE,Flags=0,PL=0,Value=6/18/2020 12:00:00 PM;"
    L"Id=\"Money\",vt=VT_CY,Flags=0,PL=0,Value=1.2345;Id=\"Due\",vt=VT_DATE,Value=,Min=1/1/2000,Max=1/1/2030;"
    L"Id=\"Dec\",vt=VT_DECIMAL,Flags=0,PL=0,Value=123.456,Options={123.456,\"x\",0}|{-1};",
    L"Id=\"Big\",vt=VT_UI8,Flags=4294967295,PL=255,Value=18446744073709551615,Min=1,Max=18446744073709551615;"
    L"Id=\"Small\",vt=VT_I8,Flags=0,PL=0,Value=-9223372036854775808;"
    L"Id=\"I1\",vt=VT_I1,Flags=0,PL=0,Value=-5,Options={-5}|{5,\"five\"}|{7,\"seven\",9};",
    L"Id=\"Empty\",vt=VT_EMPTY,Flags=0,PL=0,Value=;Id=\"Null\",vt=VT_NULL,Flags=0,PL=0,Value=Null;"
    L"Id=\"Ptr\",vt=VT_PTR,Flags=0,PL=0,Value=;Id=\"Err\",vt=VT_ERROR,Flags=0,PL=0,Value=;",
    L"  id = \"spaced\" ,vt=vt_i2, FLAGS=3 ,pl=1 , value=12,min=-4,MAX=40 , extra=x ;"
    L"ID=\"{odd}, name\",vt=VT_BSTR,Value=plain text,Options={{plain text}}|{\"other\"}|{q,\"r\",1};",
};

const wchar_t kSpecials[] = L",;=|\"{} \u00A4";

bool Documented(const basalt::CWinException& e) {
    const basalt::ustring& f = e.GetFunction();
    DWORD code = e.GetErrorCode();
    return ((f == L"CProperty::Load" || f == L"CProperty::split" || f == L"COption::COption") && code == 87) ||
           ((f == L"CProperty::Str2VT" || f == L"CProperty::CompareNumbers") && code == 1630);
}

class Mutator {
public:
    explicit Mutator(unsigned seed) : m_random(seed) {}

    std::wstring Next() {
        std::wstring text = kSeeds[Pick(std::size(kSeeds))];
        for (size_t n = Pick(4) ? 1 : 2; n > 0; --n) Mutate(text);
        return text;
    }

private:
    size_t Pick(size_t count) { return count ? std::uniform_int_distribution<size_t>(0, count - 1)(m_random) : 0; }
    wchar_t Special() { return kSpecials[Pick(std::size(kSpecials) - 1)]; }

    void Mutate(std::wstring& text) {
        size_t at = Pick(text.size() + 1);
        switch (Pick(8)) {
        case 0: text.erase(at, 1 + Pick(12)); break;                          // cut a piece out
        case 1: text.resize(at); break;                                       // cut the end off
        case 2: case 3: text.insert(at, 1, Special()); break;                 // a separator or quote
        case 4: if (at < text.size()) text[at] = Special(); break;
        case 5: text.insert(at, text.substr(Pick(text.size() + 1), 1 + Pick(30))); break;  // repeat a piece
        case 6: text.insert(at, kSeeds[Pick(std::size(kSeeds))]); break;      // splice another text
        default:                                                              // a long input
            if (Pick(2))
                text.insert(at, 500 + Pick(3000), Special());
            else
                for (int i = 0; i < 20; ++i) text += kSeeds[Pick(std::size(kSeeds))];
        }
    }

    std::mt19937 m_random;
};

// Long inputs are shown by their start.
std::wstring Head(const std::wstring& text) { return text.size() <= 400 ? text : text.substr(0, 400) + L"..."; }

}  // namespace

TEST(PropertyFuzz, MutatedTextsLoadOrFailAsDocumentedAndRoundTrip) {
    for (const wchar_t* seed : kSeeds) EXPECT_GE(IPropertySet::CreateInstance(seed)->GetCount(), 2u) << seed;
    Mutator mutator(20240611);
    int loaded = 0, refused = 0, comErrors = 0, reported = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::wstring text = mutator.Next();
        boost::shared_ptr<IPropertySet> first;
        try {
            first = IPropertySet::CreateInstance(text.c_str());
        } catch (const basalt::CWinException& e) {
            ++refused;
            EXPECT_TRUE(Documented(e)) << e.what();
            continue;
        } catch (const _com_error&) {
            ++comErrors;  // the boolean test of range bounds that are no numbers
            continue;
        }
        ++loaded;
        const _bstr_t saved = first->Save();
        std::wstring problem;
        try {
            boost::shared_ptr<IPropertySet> second = IPropertySet::CreateInstance(saved);
            if (!first->Compare(*second, true))
                problem = L"reads back different";
            else if (Text(second->Save()) != Text(saved))
                problem = L"saves differently";
        } catch (const basalt::CStdException& e) {
            problem = L"does not read back: " + basalt::ustring::FromCodePage(e.what(), CP_UTF8);
        } catch (const _com_error&) {
            problem = L"does not read back: _com_error";
        }
        if (!problem.empty() && ++reported <= 5)
            ADD_FAILURE() << basalt::ustring(problem + L"\n  text:  " + Head(text) + L"\n  saved: " +
                                             Head(Text(saved)))
                                 .ToCodePage(CP_UTF8);
    }
    EXPECT_EQ(reported, 0);
    // Each outcome is exercised, so that the test means something.
    EXPECT_GT(loaded, 500);
    EXPECT_GT(refused, 500);
    std::printf("loaded %d, refused %d, _com_error %d\n", loaded, refused, comErrors);
}

// Names, values and options made of the characters the text form uses itself:
// whatever the writer makes of them reads back the same, alone and in a set.
TEST(PropertyFuzz, EveryTextTheWriterWritesReadsBack) {
    std::mt19937 random(7);
    const wchar_t alphabet[] = L"ab ,;=|\"{}\u00A4%\t";
    auto word = [&] {
        std::wstring text(std::uniform_int_distribution<size_t>(0, 6)(random), L' ');
        for (wchar_t& c : text) c = alphabet[std::uniform_int_distribution<size_t>(0, std::size(alphabet) - 2)(random)];
        return text;
    };
    int reported = 0;
    for (int i = 0; i < 1500 && reported < 5; ++i) {
        COptionSet options(VT_BSTR, COptionSet::orderInsertion);
        if (i % 2)
            for (int n = 0; n < 3; ++n) options.AddOption(_variant_t(word().c_str()), n ? word().c_str() : nullptr, nullptr, 1);
        const std::wstring value = word();
        if (i % 2) options.AddOption(_variant_t(value.c_str()));
        CPropertySet set;
        set.AddCopy(i % 2 ? CProperty(word().c_str(), IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(value.c_str()), options)
                          : CProperty(word().c_str(), IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(value.c_str())));
        set.AddCopy(CProperty(L"after", IProperty::accessFull, VT_I4, 0, 0, _variant_t(7L)));
        const _bstr_t saved = set.Save();
        try {
            boost::shared_ptr<IPropertySet> back = IPropertySet::CreateInstance(saved);
            if (set.Compare(*back, true) && Text(back->Save()) == Text(saved)) continue;
            ADD_FAILURE() << "reads back different: " << basalt::ustring(Text(saved)).ToCodePage(CP_UTF8);
        } catch (const basalt::CStdException& e) {
            ADD_FAILURE() << e.what() << ": " << basalt::ustring(Text(saved)).ToCodePage(CP_UTF8);
        }
        ++reported;
    }
}
