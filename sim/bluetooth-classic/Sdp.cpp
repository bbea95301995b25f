// Service records: building them as SDP data elements, and the three parsing
// functions of Bthprops.cpl that walk them.
#include "Stack.h"

#include <cstring>

using namespace bthsim;

namespace {

// Element types of the descriptor byte (type << 3 | size index).
enum { typeNil = 0, typeUint = 1, typeInt = 2, typeUuid = 3, typeText = 4, typeBool = 5, typeSequence = 6,
       typeAlternative = 7, typeUrl = 8 };

// The system's specific-type codes: kind in the low byte, size in the next.
// The system gives a 32-bit UUID the code of a 32-bit signed integer (0x0220),
// not the pattern of the other UUID sizes.
enum { stUint8 = 0x0010, stUint16 = 0x0110, stUint32 = 0x0210, stUint64 = 0x0310, stUint128 = 0x0410,
       stInt8 = 0x0020, stUuid16 = 0x0130, stUuid32 = 0x0220, stUuid128 = 0x0430 };

struct Element {
    unsigned type;
    const BYTE* data;  // after the header
    ULONG dataLength;
    ULONG totalLength;  // header included
};

ULONGLONG BigEndian(const BYTE* p, ULONG n) {
    ULONGLONG value = 0;
    for (ULONG i = 0; i < n; ++i) value = (value << 8) | p[i];
    return value;
}

// Reads the element at the start of stream; false when it is malformed or
// runs past the end.
bool ReadElement(const BYTE* stream, ULONG size, Element& element) {
    if (!stream || size < 1) return false;
    unsigned type = stream[0] >> 3;
    unsigned index = stream[0] & 7;
    ULONG header = 1;
    ULONG length;
    if (type == typeNil) {
        length = 0;
    } else if (index <= 4) {
        length = 1u << index;
    } else {
        ULONG lengthBytes = 1u << (index - 5);
        if (size < 1 + lengthBytes) return false;
        length = static_cast<ULONG>(BigEndian(stream + 1, lengthBytes));
        header += lengthBytes;
    }
    if (length > size - header) return false;
    element = Element{type, stream + header, length, header + length};
    return true;
}

void Put(std::vector<BYTE>& out, ULONGLONG value, unsigned bytes) {
    for (unsigned i = bytes; i-- > 0;) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void PutUint16(std::vector<BYTE>& out, USHORT value) {
    out.push_back(typeUint << 3 | 1);
    Put(out, value, 2);
}

void PutUuid16(std::vector<BYTE>& out, USHORT value) {
    out.push_back(typeUuid << 3 | 1);
    Put(out, value, 2);
}

// A 16-bit UUID written in the size given: 4 bytes, or the 16 of the Bluetooth base UUID.
void PutUuid(std::vector<BYTE>& out, USHORT value, unsigned bytes) {
    if (bytes == 4) {
        out.push_back(typeUuid << 3 | 2);
        Put(out, value, 4);
    } else if (bytes == 16) {
        static const BYTE base[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
        out.push_back(typeUuid << 3 | 4);
        Put(out, value, 4);
        out.insert(out.end(), base, base + 12);
    } else {
        PutUuid16(out, value);
    }
}

void PutSequence(std::vector<BYTE>& out, const std::vector<BYTE>& content) {
    if (content.size() < 256) {
        out.push_back(typeSequence << 3 | 5);
        Put(out, content.size(), 1);
    } else {
        out.push_back(typeSequence << 3 | 6);
        Put(out, content.size(), 2);
    }
    out.insert(out.end(), content.begin(), content.end());
}

}  // namespace

namespace bthsim {

std::vector<BYTE> BuildRecord(const std::vector<USHORT>& classes, ULONG channel, const wchar_t* name,
                              unsigned uuidBytes) {
    std::vector<BYTE> attributes;
    PutUint16(attributes, 0x0001);  // service class ID list
    std::vector<BYTE> list;
    for (USHORT uuid : classes) PutUuid(list, uuid, uuidBytes);
    PutSequence(attributes, list);
    if (channel) {
        PutUint16(attributes, 0x0004);  // protocol descriptor list: L2CAP, then RFCOMM with its channel
        std::vector<BYTE> l2cap, rfcomm, protocols;
        PutUuid16(l2cap, 0x0100);
        PutUuid16(rfcomm, 0x0003);
        rfcomm.push_back(typeUint << 3 | 0);
        rfcomm.push_back(static_cast<BYTE>(channel));
        PutSequence(protocols, l2cap);
        PutSequence(protocols, rfcomm);
        PutSequence(attributes, protocols);
    }
    if (name && *name) {
        PutUint16(attributes, 0x0100);  // service name, UTF-8
        int length = ::WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr) - 1;
        attributes.push_back(typeText << 3 | 5);
        attributes.push_back(static_cast<BYTE>(length));
        std::string text(static_cast<size_t>(length), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, name, -1, &text[0], length + 1, nullptr, nullptr);
        attributes.insert(attributes.end(), text.begin(), text.end());
    }
    std::vector<BYTE> record;
    PutSequence(record, attributes);
    return record;
}

}  // namespace bthsim

// A sequence or alternative is described by its whole element, header
// included, so that it can be handed on to BluetoothSdpGetContainerElementData.
BTHSIM_EXPORT DWORD WINAPI BluetoothSdpGetElementData(LPBYTE stream, ULONG size, SDP_ELEMENT_DATA* data) {
    Element element;
    if (!data || !ReadElement(stream, size, element)) return ERROR_INVALID_PARAMETER;
    std::memset(data, 0, sizeof *data);
    const BYTE* p = element.data;
    ULONG n = element.dataLength;
    switch (element.type) {
    case typeNil:
        data->type = SDP_TYPE_NIL;
        break;
    case typeUint:
    case typeInt: {
        data->type = element.type == typeUint ? SDP_TYPE_UINT : SDP_TYPE_INT;
        unsigned kind = element.type == typeUint ? 0x10 : 0x20;
        switch (n) {
        case 1: data->specificType = static_cast<SDP_SPECIFICTYPE>(kind); data->data.uint8 = p[0]; break;
        case 2: data->specificType = static_cast<SDP_SPECIFICTYPE>(kind | 0x100); data->data.uint16 = static_cast<USHORT>(BigEndian(p, 2)); break;
        case 4: data->specificType = static_cast<SDP_SPECIFICTYPE>(kind | 0x200); data->data.uint32 = static_cast<ULONG>(BigEndian(p, 4)); break;
        case 8: data->specificType = static_cast<SDP_SPECIFICTYPE>(kind | 0x300); data->data.uint64 = BigEndian(p, 8); break;
        case 16:
            data->specificType = static_cast<SDP_SPECIFICTYPE>(kind | 0x400);
            data->data.uint128.HighPart = BigEndian(p, 8);
            data->data.uint128.LowPart = BigEndian(p + 8, 8);
            break;
        default: return ERROR_INVALID_PARAMETER;
        }
        break;
    }
    case typeUuid:
        data->type = SDP_TYPE_UUID;
        if (n == 2) {
            data->specificType = static_cast<SDP_SPECIFICTYPE>(stUuid16);
            data->data.uuid16 = static_cast<USHORT>(BigEndian(p, 2));
        } else if (n == 4) {
            data->specificType = static_cast<SDP_SPECIFICTYPE>(stUuid32);
            data->data.uuid32 = static_cast<ULONG>(BigEndian(p, 4));
        } else if (n == 16) {
            data->specificType = static_cast<SDP_SPECIFICTYPE>(stUuid128);
            GUID& uuid = data->data.uuid128;
            uuid.Data1 = static_cast<ULONG>(BigEndian(p, 4));
            uuid.Data2 = static_cast<USHORT>(BigEndian(p + 4, 2));
            uuid.Data3 = static_cast<USHORT>(BigEndian(p + 6, 2));
            std::memcpy(uuid.Data4, p + 8, 8);
        } else {
            return ERROR_INVALID_PARAMETER;
        }
        break;
    case typeText:
    case typeUrl:
        data->type = element.type == typeText ? SDP_TYPE_STRING : SDP_TYPE_URL;
        data->data.string.value = const_cast<LPBYTE>(p);
        data->data.string.length = n;
        break;
    case typeBool:
        if (n != 1) return ERROR_INVALID_PARAMETER;
        data->type = SDP_TYPE_BOOLEAN;
        data->data.booleanVal = p[0];
        break;
    case typeSequence:
    case typeAlternative:
        data->type = element.type == typeSequence ? SDP_TYPE_SEQUENCE : SDP_TYPE_ALTERNATIVE;
        data->data.sequence.value = stream;
        data->data.sequence.length = element.totalLength;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT DWORD WINAPI BluetoothSdpGetContainerElementData(LPBYTE container, ULONG size,
                                                               HBLUETOOTH_CONTAINER_ELEMENT* cursor,
                                                               SDP_ELEMENT_DATA* data) {
    Element outer;
    if (!cursor || !data || !ReadElement(container, size, outer) ||
        (outer.type != typeSequence && outer.type != typeAlternative))
        return ERROR_INVALID_PARAMETER;
    const BYTE* end = outer.data + outer.dataLength;
    const BYTE* at = *cursor ? static_cast<const BYTE*>(*cursor) : outer.data;
    if (at < outer.data || at > end) return ERROR_INVALID_PARAMETER;
    if (at == end) return ERROR_NO_MORE_ITEMS;
    Element inner;
    if (!ReadElement(at, static_cast<ULONG>(end - at), inner)) return ERROR_INVALID_PARAMETER;
    DWORD result = BluetoothSdpGetElementData(const_cast<LPBYTE>(at), inner.totalLength, data);
    if (result != ERROR_SUCCESS) return result;
    *cursor = const_cast<BYTE*>(at + inner.totalLength);
    return ERROR_SUCCESS;
}

BTHSIM_EXPORT BOOL WINAPI BluetoothSdpEnumAttributes(LPBYTE stream, ULONG size,
                                                     BOOL(CALLBACK* callback)(ULONG, LPBYTE, ULONG, LPVOID),
                                                     LPVOID context) {
    Element record;
    if (!callback || !ReadElement(stream, size, record) || record.type != typeSequence) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const BYTE* at = record.data;
    const BYTE* end = record.data + record.dataLength;
    while (at < end) {
        Element id, value;
        if (!ReadElement(at, static_cast<ULONG>(end - at), id) || id.type != typeUint || id.dataLength != 2) break;
        at += id.totalLength;
        if (!ReadElement(at, static_cast<ULONG>(end - at), value)) break;
        if (!callback(static_cast<ULONG>(BigEndian(id.data, 2)), const_cast<LPBYTE>(at), value.totalLength, context))
            return TRUE;
        at += value.totalLength;
    }
    if (at != end) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}
