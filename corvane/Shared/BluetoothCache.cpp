#include "Shared/BluetoothCache.h"

#include "Common.h"

#include <basalt/Registry.h>

namespace corvane {

const wchar_t kBluetoothCacheKey[] = L"Software\\VLM\\Bluetooth\\Cache";

namespace {

const wchar_t kList[] = L"PreviouslyFound";

basalt::ustring DeviceKey(ULONGLONG address) {
    basalt::ustring key;
    return key.sprintf(L"%s\\%s", kBluetoothCacheKey, CBluetoothPortAddr::BluetoothAddr2Str(address, L':').c_str());
}

}  // namespace

bool ReadBluetoothCacheEntry(ULONGLONG address, CBluetoothCacheEntry& entry) {
    basalt::ustring key = DeviceKey(address);
    DWORD classOfDevice = 0;
    if (!basalt::RegGetValue(HKEY_CURRENT_USER, key.c_str(), L"class", classOfDevice)) return false;
    entry.address = address;
    entry.classOfDevice = classOfDevice;
    entry.name.clear();
    basalt::RegGetValue(HKEY_CURRENT_USER, key.c_str(), L"name", entry.name);
    return true;
}

void WriteBluetoothCacheEntry(ULONGLONG address, DWORD classOfDevice, const basalt::ustring& name) {
    basalt::ustring key = DeviceKey(address);
    basalt::RegWriteValue(HKEY_CURRENT_USER, key.c_str(), L"class", classOfDevice);
    if (!name.empty()) basalt::RegWriteValue(HKEY_CURRENT_USER, key.c_str(), L"name", name.c_str());
}

std::vector<CBluetoothCacheEntry> ReadBluetoothCacheList(int majorClass) {
    std::vector<CBluetoothCacheEntry> entries;
    basalt::ustring text;
    if (!basalt::RegGetValue(HKEY_CURRENT_USER, kBluetoothCacheKey, kList, text)) return entries;
    for (ULONGLONG address : ParseBluetoothCacheList(text)) {
        CBluetoothCacheEntry entry;
        if (!ReadBluetoothCacheEntry(address, entry)) continue;
        if (majorClass != -1 && static_cast<int>(MajorDeviceClass(entry.classOfDevice)) != majorClass) continue;
        entries.push_back(entry);
    }
    return entries;
}

void AppendCachedAddresses(int majorClass, std::deque<boost::shared_ptr<const IPortAddr>>& found) {
    for (const CBluetoothCacheEntry& entry : ReadBluetoothCacheList(majorClass))
        found.push_back(
            CBluetoothPortAddr::CreateInstance(entry.address, entry.classOfDevice, entry.name.c_str(), nullptr, 0, 0));
}

void WriteBluetoothCacheList(const std::vector<ULONGLONG>& addresses) {
    basalt::RegWriteValue(HKEY_CURRENT_USER, kBluetoothCacheKey, kList, FormatBluetoothCacheList(addresses).c_str());
}

basalt::ustring FormatBluetoothCacheList(const std::vector<ULONGLONG>& addresses) {
    basalt::ustring text, part;
    for (ULONGLONG address : addresses) {
        if (!text.empty()) text += L',';
        text += part.sprintf(L"%I64u", address);
    }
    return text;
}

std::vector<ULONGLONG> ParseBluetoothCacheList(const basalt::ustring& text) {
    std::vector<ULONGLONG> addresses;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(L',', start);
        if (comma == basalt::ustring::npos) comma = text.size();
        // Each part is read as a number, as far as it is one: a part that is
        // none reads as 0, a device no cache entry belongs to.
        basalt::ustring part(text.substr(start, comma - start));
        addresses.push_back(static_cast<ULONGLONG>(part.atoi64()));
        start = comma + 1;
    }
    return addresses;
}

}  // namespace corvane
