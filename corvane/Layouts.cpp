// The sizes and offsets of the records Corvane hands the platform and the
// maker's driver. Compiled into both builds, so that a 32-bit build whose
// headers lay a record out differently fails to compile instead of sending
// the stack or the driver a record it misreads. Records holding pointers or
// handles differ by architecture; the 32-bit figures are the ones a 32-bit
// stack expects.
#include "USB/USB.h"

#include <basalt/GATT.h>
#include <bluetoothapis.h>
#include <ws2bth.h>

#include <cstddef>

namespace {

constexpr bool kNarrow = sizeof(void*) == 4;

// USB: the preparing block and the head of the configuration descriptor.
static_assert(sizeof(corvane::usb::CPrepareBlock) == 260, "the driver's preparing block is 260 bytes");
static_assert(offsetof(corvane::usb::CPrepareBlock, words) == 0, "its four 16-bit words come first");
static_assert(offsetof(corvane::usb::CPrepareBlock, value) == 8, "its 32-bit value follows the four words");

// Classic Bluetooth: radio, device and search records.
static_assert(sizeof(BLUETOOTH_FIND_RADIO_PARAMS) == 4, "radio search parameters are 4 bytes");
static_assert(sizeof(BLUETOOTH_RADIO_INFO) == 520, "radio information is 520 bytes");
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560, "device information is 560 bytes");
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == 8, "the device address follows the size");
static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == (kNarrow ? 32 : 40),
              "search parameters are 32 bytes for a 32-bit stack (the radio handle widens them on 64-bit)");
static_assert(offsetof(BLUETOOTH_DEVICE_SEARCH_PARAMS, cTimeoutMultiplier) == 24,
              "the time-out multiplier follows the six flags");

// Winsock's Bluetooth address and the query set of lookups and publication.
static_assert(sizeof(SOCKADDR_BTH) == 30, "an RFCOMM address is 30 bytes");
static_assert(offsetof(SOCKADDR_BTH, btAddr) == 2 && offsetof(SOCKADDR_BTH, serviceClassId) == 10 &&
                  offsetof(SOCKADDR_BTH, port) == 26,
              "an RFCOMM address is packed: family, address, service class, channel");
static_assert(sizeof(WSAQUERYSETW) == (kNarrow ? 60 : 120), "a query set is 60 bytes for a 32-bit stack");

// Bluetooth Smart: the value-changed registration of one characteristic.
static_assert(sizeof(BTH_LE_GATT_CHARACTERISTIC) == 36, "a characteristic record is 36 bytes");
static_assert(sizeof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION) == 40,
              "the registration is a 16-bit count, padding, then one 36-byte characteristic");
static_assert(offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION, Characteristics) == 4,
              "the characteristic starts after two bytes of padding");

}  // namespace
