#include <basalt/Sync.h>

namespace basalt {

CCriticalSection::CCriticalSection() { ::InitializeCriticalSection(&m_section); }
CCriticalSection::~CCriticalSection() { ::DeleteCriticalSection(&m_section); }

}  // namespace basalt
