// An error a worker meets is re-raised in the client's thread as the very
// exception it was: most derived type, file, function, line and code.
#include "StreamTestKit.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {

// A driver's own exception type, unknown to the streams.
class CDeviceGone : public basalt::CWinException {
public:
    explicit CDeviceGone(int slot)
        : CWinException(417, L"USB", L"DeviceIoControl", ERROR_DEVICE_NOT_CONNECTED), slot(slot) {}
    boost::shared_ptr<basalt::CStdException> Clone() const override {
        return boost::shared_ptr<basalt::CStdException>(new CDeviceGone(*this));
    }
    [[noreturn]] void Throw() const override { throw CDeviceGone(*this); }
    int slot;
};

DWORD WINAPI FailingReceiveWorker(void* argument) {
    try {
        throw CDeviceGone(3);
    } catch (const basalt::CStdException& e) {
        static_cast<CStreamIncoming*>(argument)->SetError(e);
    }
    return 0;
}

}  // namespace

TEST(StoredError, IsReRaisedInTheClientsThreadUntilReset) {
    CStreamIncoming stream(64);
    stream.BeginFill(5);
    stream.EndFill(5);
    basalt::COverlapped wake;
    stream.RegisterNotice(INotice::CreateInstance(wake), eventError);

    basalt::CThread worker = basalt::CThread::Create(&FailingReceiveWorker, &stream);
    ASSERT_TRUE(wake.GetEvent().Wait(5000));
    worker.Join();
    for (int attempt = 0; attempt < 2; ++attempt) {
        BYTE buffer[16];
        try {
            stream.Read(buffer, sizeof buffer);
            ADD_FAILURE() << "no exception on attempt " << attempt;
        } catch (const CDeviceGone& e) {
            EXPECT_EQ(e.slot, 3);
            EXPECT_EQ(e.GetLine(), 417);
            EXPECT_EQ(e.GetFile(), L"USB");
            EXPECT_EQ(e.GetFunction(), L"DeviceIoControl");
            EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
        }
    }
    EXPECT_THROW(stream.Read(nullptr, 0), CDeviceGone);  // even a count query
    EXPECT_EQ(stream.GetCount(), 5u);                    // and the data is left alone

    // A later error replaces the first; Reset drops it.
    stream.SetError(basalt::CCommException(1, L"TCP", L"CTCPPort::Login", L"login refused", L"RE: no"));
    EXPECT_THROW(stream.ThrowError(), basalt::CCommException);
    stream.Reset(false);
    EXPECT_NO_THROW(stream.ThrowError());
    EXPECT_EQ(stream.Read(nullptr, 0), 0u);

    CStreamOutgoing outgoing(64);
    outgoing.SetError(CDeviceGone(4));
    BYTE byte = 0;
    EXPECT_THROW(outgoing.Write(&byte, 1), CDeviceGone);
    EXPECT_EQ(outgoing.GetCount(), 0u);
}
