#include "MicrosoftBluetooth/Winsock.h"

#include "BtDrtApi.h"

#include <mutex>

namespace Microsoft {

const CBthWinsockCalls& BthWinsock() {
    static CBthWinsockCalls calls;
    static std::once_flag once;
    std::call_once(once, [] {
        calls.sockets = basalt::SystemSocketCalls();
        calls.lookupServiceBegin = ::WSALookupServiceBeginW;
        calls.lookupServiceNext = ::WSALookupServiceNextW;
        calls.lookupServiceEnd = ::WSALookupServiceEnd;
        calls.setService = ::WSASetServiceW;
        calls.addressToString = ::WSAAddressToStringW;
        if (auto stand = CBthpropsLib::Instance().Resolve<BthSimWinsockCallsFn>("BthSimWinsockCalls")) stand(&calls);
    });
    return calls;
}

}  // namespace Microsoft
