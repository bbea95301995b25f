#include "BluetoothTestKit.h"

#include "kit/LibraryScope.h"
#include "kit/TestKit.h"

#include <chrono>
#include <memory>
#include <thread>

namespace bttest {

void BluetoothTest::SetUp() {
    BthSimReset(FALSE);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey);
}

void BluetoothTest::TearDown() {
    BthSimReset(FALSE);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey);
}

void BluetoothTest::AddEchoDevice(ULONGLONG address, DWORD behaviour) {
    ASSERT_TRUE(BthSimAddDevice(address, L"Echo", 0x001F00, kPaired, nullptr));
    const USHORT serial = 0x1101;
    ASSERT_TRUE(BthSimAddRecord(address, &serial, 1, 1, behaviour));
}

boost::shared_ptr<const corvane::IPortAddr> BluetoothTest::Address(const wchar_t* text, const wchar_t* pin) {
    return corvane::CBluetoothPortAddr::CreateInstance(text, 0, nullptr, pin, 0, 0);
}

int EventCounter::Notify(corvane::EEventType type) {
    if (type >= 0 && type < 11) ++m_counts[type];
    return 1;
}

bool EventCounter::WaitFor(corvane::EEventType type, unsigned count, DWORD timeoutMs) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_counts[type] < count) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

::testing::AssertionResult TransferIntact(Sender send, Receiver receive, size_t size) {
    std::thread sender([&] {
        std::vector<BYTE> chunk(4096);
        for (size_t done = 0; done < size;) {
            DWORD n = static_cast<DWORD>(std::min(chunk.size(), size - done));
            for (DWORD i = 0; i < n; ++i) chunk[i] = testkit::PatternAt(done + i);
            DWORD taken = send(chunk.data(), n);
            if (taken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            done += taken;
        }
    });
    std::vector<BYTE> buffer(8192);
    size_t got = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    while (got < size && result) {
        if (std::chrono::steady_clock::now() > until) {
            result = ::testing::AssertionFailure() << "only " << got << " of " << size << " bytes arrived";
            break;
        }
        DWORD n = receive(buffer.data(), static_cast<DWORD>(std::min(buffer.size(), size - got)));
        for (DWORD i = 0; i < n && result; ++i)
            if (buffer[i] != testkit::PatternAt(got + i))
                result = ::testing::AssertionFailure() << "byte " << (got + i) << " differs";
        got += n;
    }
    sender.join();
    return result;
}

Sender SocketSender(SOCKET socket) {
    return [socket](const BYTE* data, DWORD size) {
        int sent = ::send(socket, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
        return sent > 0 ? static_cast<DWORD>(sent) : 0;
    };
}

Receiver SocketReceiver(SOCKET socket) {
    return [socket](BYTE* buffer, DWORD size) {
        int got = ::recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
        return got > 0 ? static_cast<DWORD>(got) : 0;
    };
}

Sender PortSender(corvane::IPort& port) {
    return [&port](const BYTE* data, DWORD size) { return port.Send(data, size); };
}

Receiver PortReceiver(corvane::IPort& port) {
    return [&port](BYTE* buffer, DWORD size) {
        DWORD n = port.Recv(buffer, size);
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return n;
    };
}

}  // namespace bttest
