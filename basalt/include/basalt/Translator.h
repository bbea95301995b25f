#pragma once
#include <basalt/ustring.h>

namespace basalt {

// The catalogue through which user-visible words pass. This build carries no
// translations: every text stays as it is.
class BASALT_API CTranslatorInstance {
public:
    static CTranslatorInstance& Ref();
    // Translates text in place.
    void XlateEx(ustring& text) const;

private:
    CTranslatorInstance() = default;
};

}  // namespace basalt
