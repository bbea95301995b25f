// The radio, device, search and pairing functions of Bthprops.cpl.
#include "Stack.h"

#include <cstring>
#include <thread>

using namespace bthsim;

// The library of a system before the extended pairing calls (built with
// BTHSIM_BASIC): the same stack without the three "Ex" entry points, so that
// a client resolving them finds none.
#ifdef BTHSIM_BASIC
#define BTHSIM_EXPORT_EX extern "C"
#else
#define BTHSIM_EXPORT_EX BTHSIM_EXPORT
#endif

namespace {

void FillInfo(const Device& device, BLUETOOTH_DEVICE_INFO& info, bool withName) {
    DWORD size = info.dwSize;
    std::memset(&info, 0, sizeof info);
    info.dwSize = size;
    info.Address.ullLong = device.address;
    info.ulClassofDevice = device.classOfDevice;
    info.fConnected = (device.flags & BTHSIM_CONNECTED) ? TRUE : FALSE;
    info.fRemembered = (device.flags & (BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED)) ? TRUE : FALSE;
    info.fAuthenticated = (device.flags & BTHSIM_AUTHENTICATED) ? TRUE : FALSE;
    if (withName) ::wcsncpy(info.szName, device.name.c_str(), BLUETOOTH_MAX_NAME_SIZE - 1);
}

bool Known(const Device& device) {
    return (device.flags & (BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED | BTHSIM_IN_RANGE)) != 0;
}

// A device search: the devices it reports, settled when it begins.
struct Search {
    std::vector<BLUETOOTH_DEVICE_INFO> found;
    size_t next = 0;
};

void InquiryPause() {
    DWORD delay;
    {
        std::lock_guard<std::recursive_mutex> lock(TheStack().lock);
        delay = TheStack().inquiryDelayMs;
    }
    if (delay) ::Sleep(delay);
}

// Pairing through the device's handler, when the caller gave no PIN.
DWORD PairThroughHandler(ULONGLONG address) {
    DWORD method;
    ULONG value = 0;
    {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* device = FindDevice(stack, address);
        if (!device || !(device->flags & BTHSIM_IN_RANGE)) return ERROR_DEVICE_NOT_CONNECTED;
        method = (device->flags & BTHSIM_NUMERIC) ? BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON
                                                  : BLUETOOTH_AUTHENTICATION_METHOD_LEGACY;
        if (method != BLUETOOTH_AUTHENTICATION_METHOD_LEGACY) value = 100000 + static_cast<ULONG>(address % 900000);
        // A device without a PIN or a display pairs without asking anyone.
        if (method == BLUETOOTH_AUTHENTICATION_METHOD_LEGACY && !device->hasPin) {
            device->flags = (device->flags | BTHSIM_AUTHENTICATED | BTHSIM_REMEMBERED) & ~BTHSIM_STALE_KEY;
            return ERROR_SUCCESS;
        }
    }
    BTHSIM_ANSWER answer;
    // Without a handler the system would ask the user; nobody is there to answer.
    if (!AskHandler(address, method, value, answer)) return ERROR_CANCELLED;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, address);
    if (!device) return ERROR_DEVICE_NOT_CONNECTED;
    if (!AnswerPairs(*device, answer, value)) return ERROR_NOT_AUTHENTICATED;
    device->flags = (device->flags | BTHSIM_AUTHENTICATED | BTHSIM_REMEMBERED) & ~BTHSIM_STALE_KEY;
    return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Radios

BTHSIM_EXPORT HBLUETOOTH_RADIO_FIND WINAPI BluetoothFindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS* params, HANDLE* radio) {
    if (!params || !radio) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (params->dwSize != sizeof(BLUETOOTH_FIND_RADIO_PARAMS)) {
        ::SetLastError(ERROR_REVISION_MISMATCH);
        return nullptr;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(TheStack().lock);
        if (!TheStack().radioPresent) {
            ::SetLastError(ERROR_NO_MORE_ITEMS);
            return nullptr;
        }
    }
    // A kernel object of its own, so that the caller's CloseHandle is real.
    *radio = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return reinterpret_cast<HBLUETOOTH_RADIO_FIND>(new int(1));
}

BTHSIM_EXPORT BOOL WINAPI BluetoothFindNextRadio(HBLUETOOTH_RADIO_FIND, HANDLE*) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothFindRadioClose(HBLUETOOTH_RADIO_FIND find) {
    if (!find) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete reinterpret_cast<int*>(find);
    return TRUE;
}

BTHSIM_EXPORT DWORD WINAPI BluetoothGetRadioInfo(HANDLE radio, BLUETOOTH_RADIO_INFO* info) {
    if (!radio || !info) return ERROR_INVALID_PARAMETER;
    if (info->dwSize != sizeof(BLUETOOTH_RADIO_INFO)) return ERROR_REVISION_MISMATCH;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (!stack.radioPresent) return ERROR_DEVICE_NOT_CONNECTED;
    info->address.ullLong = stack.radioAddress;
    ::wcsncpy(info->szName, stack.radioName.c_str(), BLUETOOTH_MAX_NAME_SIZE - 1);
    info->ulClassofDevice = stack.radioClass;
    info->lmpSubversion = 0x0100;
    info->manufacturer = 0xFFFF;  // "no company": this radio is made up
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothIsDiscoverable(HANDLE) {
    std::lock_guard<std::recursive_mutex> lock(TheStack().lock);
    return TheStack().radioPresent && TheStack().discoverable;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothIsConnectable(HANDLE) {
    std::lock_guard<std::recursive_mutex> lock(TheStack().lock);
    return TheStack().radioPresent && TheStack().connectable;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothEnableDiscovery(HANDLE, BOOL enabled) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    // As the system's stack: a radio that refuses connections cannot be found.
    if (!stack.radioPresent || (enabled && !stack.connectable)) {
        ::SetLastError(ERROR_INVALID_STATE);
        return FALSE;
    }
    stack.discoverable = enabled != FALSE;
    return TRUE;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothEnableIncomingConnections(HANDLE, BOOL enabled) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (!stack.radioPresent || (!enabled && stack.discoverable)) {
        ::SetLastError(ERROR_INVALID_STATE);
        return FALSE;
    }
    stack.connectable = enabled != FALSE;
    return TRUE;
}

BTHSIM_EXPORT DWORD WINAPI BluetoothEnumerateInstalledServices(HANDLE, BLUETOOTH_DEVICE_INFO*, DWORD* count, GUID*) {
    if (count) *count = 0;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Devices

BTHSIM_EXPORT DWORD WINAPI BluetoothGetDeviceInfo(HANDLE, BLUETOOTH_DEVICE_INFO* info) {
    if (!info) return ERROR_INVALID_PARAMETER;
    if (info->dwSize != sizeof(BLUETOOTH_DEVICE_INFO)) return ERROR_REVISION_MISMATCH;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, info->Address.ullLong);
    if (!device || !Known(*device)) return ERROR_NOT_FOUND;
    FillInfo(*device, *info, true);
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT DWORD WINAPI BluetoothRemoveDevice(BLUETOOTH_ADDRESS* address) {
    if (!address) return ERROR_INVALID_PARAMETER;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, address->ullLong);
    if (!device) return ERROR_NOT_FOUND;
    ++device->counts[BTHSIM_COUNT_REMOVE];
    if (!(device->flags & (BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED | BTHSIM_STALE_KEY))) return ERROR_NOT_FOUND;
    device->flags &= ~(BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED | BTHSIM_STALE_KEY);
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT HBLUETOOTH_DEVICE_FIND WINAPI BluetoothFindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* params,
                                                                     BLUETOOTH_DEVICE_INFO* info) {
    if (!params || !info || params->dwSize != sizeof *params || info->dwSize != sizeof *info) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Search* search = new Search;
    {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        if (!stack.radioPresent) {
            delete search;
            ::SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        bool inquiry = params->fIssueInquiry != FALSE;
        if (inquiry) ++stack.inquiries;
        for (auto& entry : stack.devices) {
            Device& device = entry.second;
            bool paired = (device.flags & BTHSIM_AUTHENTICATED) != 0;
            bool remembered = (device.flags & BTHSIM_REMEMBERED) != 0;
            bool heard = inquiry && (device.flags & BTHSIM_IN_RANGE);
            bool wanted = (paired && params->fReturnAuthenticated) || (remembered && params->fReturnRemembered) ||
                          ((device.flags & BTHSIM_CONNECTED) && params->fReturnConnected) ||
                          (heard && !paired && !remembered && params->fReturnUnknown);
            if (!wanted) continue;
            if (heard) ++device.heard;
            BLUETOOTH_DEVICE_INFO found;
            found.dwSize = sizeof found;
            // A device heard for the first times has not told its name yet.
            FillInfo(device, found, device.heard > device.nameDelay);
            search->found.push_back(found);
        }
    }
    if (search->found.empty()) {
        delete search;
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    InquiryPause();
    *info = search->found[search->next++];
    return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(search);
}

BTHSIM_EXPORT BOOL WINAPI BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND find, BLUETOOTH_DEVICE_INFO* info) {
    Search* search = reinterpret_cast<Search*>(find);
    if (!search || !info) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->next >= search->found.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    InquiryPause();
    *info = search->found[search->next++];
    return TRUE;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND find) {
    if (!find) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete reinterpret_cast<Search*>(find);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Pairing

BTHSIM_EXPORT DWORD WINAPI BluetoothAuthenticateDevice(HWND, HANDLE radio, BLUETOOTH_DEVICE_INFO* info, PWSTR passkey,
                                                       ULONG length) {
    if (!info) return ERROR_INVALID_PARAMETER;
    ULONGLONG address = info->Address.ullLong;
    {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* device = FindDevice(stack, address);
        if (!device || !(device->flags & BTHSIM_IN_RANGE)) return ERROR_DEVICE_NOT_CONNECTED;
        ++device->counts[BTHSIM_COUNT_PAIR];
        if (radio) ++device->counts[BTHSIM_COUNT_PAIR_RADIO];
        if (passkey && length > 0) {
            if (device->hasPin && device->pin != std::wstring(passkey, length)) return ERROR_NOT_AUTHENTICATED;
            device->flags = (device->flags | BTHSIM_AUTHENTICATED | BTHSIM_REMEMBERED) & ~BTHSIM_STALE_KEY;
            return ERROR_SUCCESS;
        }
    }
    return PairThroughHandler(address);
}

BTHSIM_EXPORT_EX HRESULT WINAPI BluetoothAuthenticateDeviceEx(HWND, HANDLE, BLUETOOTH_DEVICE_INFO* info,
                                                           PBLUETOOTH_OOB_DATA_INFO,
                                                           BLUETOOTH_AUTHENTICATION_REQUIREMENTS) {
    if (!info) return E_INVALIDARG;
    {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* device = FindDevice(stack, info->Address.ullLong);
        if (device) ++device->counts[BTHSIM_COUNT_PAIR_EX];
    }
    DWORD result = PairThroughHandler(info->Address.ullLong);
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

BTHSIM_EXPORT DWORD WINAPI BluetoothRegisterForAuthentication(BLUETOOTH_DEVICE_INFO* info,
                                                              HBLUETOOTH_AUTHENTICATION_REGISTRATION* handle,
                                                              AuthCallback callback, PVOID context) {
    if (!handle || !callback) return ERROR_INVALID_PARAMETER;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (DWORD code = TakeFailure(stack.registerFailure)) return code;
    ULONGLONG id = stack.nextRegistration++;
    stack.registrations[id] = Registration{info ? info->Address.ullLong : 0, callback, nullptr, context};
    *handle = reinterpret_cast<HBLUETOOTH_AUTHENTICATION_REGISTRATION>(static_cast<ULONG_PTR>(id));
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT_EX HRESULT WINAPI BluetoothRegisterForAuthenticationEx(const BLUETOOTH_DEVICE_INFO* info,
                                                                  HBLUETOOTH_AUTHENTICATION_REGISTRATION* handle,
                                                                  AuthCallbackEx callback, PVOID context) {
    if (!handle || !callback) return E_INVALIDARG;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (DWORD code = TakeFailure(stack.registerFailure)) return HRESULT_FROM_WIN32(code);
    ULONGLONG id = stack.nextRegistration++;
    stack.registrations[id] = Registration{info ? info->Address.ullLong : 0, nullptr, callback, context};
    *handle = reinterpret_cast<HBLUETOOTH_AUTHENTICATION_REGISTRATION>(static_cast<ULONG_PTR>(id));
    return S_OK;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothUnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION handle) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (stack.registrations.erase(reinterpret_cast<ULONG_PTR>(handle)) == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BTHSIM_EXPORT DWORD WINAPI BluetoothSendAuthenticationResponse(HANDLE, BLUETOOTH_DEVICE_INFO* info, LPWSTR passkey) {
    if (!info || !passkey) return ERROR_INVALID_PARAMETER;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (DWORD code = TakeFailure(stack.respondFailure)) return code;
    PairingRequest* request = stack.pairing;
    if (!request || request->device != info->Address.ullLong) return ERROR_NOT_READY;
    int length = ::WideCharToMultiByte(CP_UTF8, 0, passkey, -1, reinterpret_cast<char*>(request->answer.pin),
                                       sizeof request->answer.pin, nullptr, nullptr);
    request->answer.pinLength = length > 0 ? static_cast<DWORD>(length - 1) : 0;
    request->answer.method = BLUETOOTH_AUTHENTICATION_METHOD_LEGACY;
    request->answer.responded = TRUE;
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT_EX HRESULT WINAPI BluetoothSendAuthenticationResponseEx(HANDLE, BLUETOOTH_AUTHENTICATE_RESPONSE* response) {
    if (!response) return E_INVALIDARG;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (DWORD code = TakeFailure(stack.respondFailure)) return HRESULT_FROM_WIN32(code);
    PairingRequest* request = stack.pairing;
    if (!request || request->device != response->bthAddressRemote.ullLong) return HRESULT_FROM_WIN32(ERROR_NOT_READY);
    BTHSIM_ANSWER& answer = request->answer;
    answer.method = response->authMethod;
    answer.responded = response->negativeResponse ? FALSE : TRUE;
    if (response->authMethod == BLUETOOTH_AUTHENTICATION_METHOD_LEGACY) {
        // A PIN holds at most 16 bytes: a longer length is the caller's fault.
        if (response->pinInfo.pinLength > BTH_MAX_PIN_SIZE) return E_INVALIDARG;
        answer.pinLength = response->pinInfo.pinLength;
        std::memcpy(answer.pin, response->pinInfo.pin, answer.pinLength);
    } else if (response->authMethod == BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON) {
        answer.value = response->numericCompInfo.NumericValue;
    } else {
        answer.value = response->passkeyInfo.passkey;
    }
    return S_OK;
}

namespace bthsim {

bool AskHandler(ULONGLONG address, DWORD method, ULONG value, BTHSIM_ANSWER& answer) {
    // One pairing at a time, as one radio does.
    static std::mutex pairingLock;
    std::lock_guard<std::mutex> serial(pairingLock);
    Registration registration = {};
    BLUETOOTH_DEVICE_INFO info;
    info.dwSize = sizeof info;
    Stack& stack = TheStack();
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        const Registration* match = nullptr;
        for (const auto& entry : stack.registrations)
            if (entry.second.device == address || (!match && entry.second.device == 0)) match = &entry.second;
        if (!match) return false;
        registration = *match;
        Device* device = FindDevice(stack, address);
        if (device) {
            FillInfo(*device, info, true);
        } else {
            std::memset(&info, 0, sizeof info);
            info.dwSize = sizeof info;
            info.Address.ullLong = address;
        }
    }
    PairingRequest request;
    std::memset(&request, 0, sizeof request);
    request.device = address;
    request.method = method;
    request.value = value;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        stack.pairing = &request;
    }
    // The system calls handlers on a thread of its own, never the caller's.
    std::thread([&] {
        if (registration.callbackEx) {
            BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS params;
            std::memset(&params, 0, sizeof params);
            params.deviceInfo = info;
            params.authenticationMethod = static_cast<BLUETOOTH_AUTHENTICATION_METHOD>(method);
            params.ioCapability = BLUETOOTH_IO_CAPABILITY_DISPLAYYESNO;
            params.authenticationRequirements = MITMProtectionNotRequired;
            params.Numeric_Value = value;
            request.answer.handlerResult = registration.callbackEx(registration.context, &params);
        } else {
            request.answer.handlerResult = registration.callback(registration.context, &info);
        }
    }).join();
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        stack.pairing = nullptr;
    }
    answer = request.answer;
    return true;
}

bool AnswerPairs(const Device& device, const BTHSIM_ANSWER& answer, ULONG value) {
    if (!answer.handlerResult || !answer.responded) return false;
    if (device.flags & BTHSIM_NUMERIC) return answer.value == value;
    if (!device.hasPin) return true;
    int length = ::WideCharToMultiByte(CP_UTF8, 0, device.pin.c_str(), static_cast<int>(device.pin.size()), nullptr, 0,
                                       nullptr, nullptr);
    std::string pin(static_cast<size_t>(length), '\0');
    if (length > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, device.pin.c_str(), static_cast<int>(device.pin.size()), &pin[0], length,
                              nullptr, nullptr);
    return answer.pinLength == pin.size() && std::memcmp(answer.pin, pin.data(), pin.size()) == 0;
}

}  // namespace bthsim
