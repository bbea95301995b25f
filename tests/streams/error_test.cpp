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

    // What arrived before the error is handed out first, the count included.
    EXPECT_EQ(stream.Read(nullptr, 0), 5u);
    BYTE buffer[16];
    EXPECT_EQ(stream.Read(buffer, 2), 2u);
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 3u);
    // Then the error, again and again, a count query too.
    for (int attempt = 0; attempt < 2; ++attempt) {
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
    EXPECT_THROW(stream.Read(nullptr, 0), CDeviceGone);

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

TEST(WorkerNotice, SurvivesAClientsWildcardDeregistration) {
    CStreamOutgoing stream(64);
    basalt::COverlapped worker, client;
    stream.SetWorkerNotice(INotice::CreateInstance(worker));
    stream.RegisterNotice(INotice::CreateInstance(client), eventOutgoingPending);
    EXPECT_TRUE(stream.DeregisterNotice(boost::shared_ptr<INotice>(), eventAll));
    stream.Reset(true);

    BYTE bytes[3] = {1, 2, 3};
    stream.Write(bytes, 3);
    EXPECT_TRUE(worker.GetEvent().Wait(0));
    EXPECT_FALSE(client.GetEvent().Wait(0));
    // A partial drain leaves bytes behind: the worker is woken again.
    worker.GetEvent().Reset();
    DWORD size = 0;
    stream.BeginDrain(&size);
    stream.EndDrain(1);
    EXPECT_TRUE(worker.GetEvent().Wait(0));

    stream.SetWorkerNotice(boost::shared_ptr<INotice>());
    worker.GetEvent().Reset();
    stream.Write(bytes, 1);
    EXPECT_FALSE(worker.GetEvent().Wait(0));
}
