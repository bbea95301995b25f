#pragma once
// The per-user cache of classic Bluetooth devices found by a search: each
// device's class and name, and the list of the devices of the last completed
// search, so that a later search can supply names the radio did not hear and
// a client can be answered without radio traffic. Shared by the Bluetooth
// locators; it outlives the process and is shared by the user's processes.
//
//   HKCU\Software\VLM\Bluetooth\Cache              "PreviouslyFound"  "123,456" (decimal addresses)
//   HKCU\Software\VLM\Bluetooth\Cache\00:80:25:...  "class" (DWORD), "name" (only when not empty)
#include <Corvane.h>
#include <basalt/ustring.h>

#include <deque>
#include <vector>

namespace corvane {

struct CBluetoothCacheEntry {
    ULONGLONG address;
    DWORD classOfDevice;
    basalt::ustring name;  // empty when the cache has none
};

// A class of device's major class, bits 12..8: what a locator's class filter names.
inline DWORD MajorDeviceClass(DWORD classOfDevice) { return (classOfDevice >> 8) & 0x1F; }

// The key under HKEY_CURRENT_USER.
extern const wchar_t kBluetoothCacheKey[];

// The device's entry; false when its key has no "class" value.
bool ReadBluetoothCacheEntry(ULONGLONG address, CBluetoothCacheEntry& entry);
// Writes "class", and "name" when it is not empty. Failures are ignored: the
// cache only saves work.
void WriteBluetoothCacheEntry(ULONGLONG address, DWORD classOfDevice, const basalt::ustring& name);
// The devices of "PreviouslyFound" that still have an entry, in its order,
// whose major class (bits 12..8) equals majorClass, or all for -1.
std::vector<CBluetoothCacheEntry> ReadBluetoothCacheList(int majorClass);
// A locator's answer from the cache alone: the entries of
// ReadBluetoothCacheList(majorClass) as addresses, appended to found.
void AppendCachedAddresses(int majorClass, std::deque<boost::shared_ptr<const IPortAddr>>& found);
// Replaces "PreviouslyFound" with these devices, in this order.
void WriteBluetoothCacheList(const std::vector<ULONGLONG>& addresses);

// The list's text form and back; each part is read as far as it is a decimal number.
basalt::ustring FormatBluetoothCacheList(const std::vector<ULONGLONG>& addresses);
std::vector<ULONGLONG> ParseBluetoothCacheList(const basalt::ustring& text);

}  // namespace corvane
