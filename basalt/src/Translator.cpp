#include <basalt/Translator.h>

namespace basalt {

CTranslatorInstance& CTranslatorInstance::Ref() {
    static CTranslatorInstance instance;
    return instance;
}

void CTranslatorInstance::XlateEx(ustring&) const {}

}  // namespace basalt
