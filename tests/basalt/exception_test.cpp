#include <Basalt.h>

#include <gtest/gtest.h>

#include <thread>

// Exceptions are thrown inside Basalt.dll here (VariantChangeType) or built
// here and re-raised through the DLL's Throw: both must be caught by their
// most derived type in this executable.
TEST(Exceptions, ThrownInsideTheDllAreCaughtHereByType) {
    _variant_t value(L"x");
    EXPECT_THROW(basalt::VariantChangeType(1033, VT_I4, value, 0, true), basalt::CWinException);
    EXPECT_THROW(basalt::VariantChangeType(1033, VT_I4, value, 0, true), basalt::CStdException);
    EXPECT_THROW(basalt::VariantChangeType(1033, VT_I4, value, 0, true), std::exception);
}

TEST(Exceptions, CloneAndThrowKeepTheMostDerivedTypeAcrossThreads) {
    boost::shared_ptr<basalt::CStdException> stored;
    std::thread worker([&] {
        try {
            throw basalt::CCommException(12, L"TCP", L"CTCPPort::Auth", L"login incorrect", L"RE: no");
        } catch (const basalt::CStdException& e) {
            stored = e.Clone();
        }
    });
    worker.join();
    ASSERT_TRUE(stored);
    try {
        stored->Throw();
    } catch (const basalt::CCommException& e) {
        EXPECT_EQ(e.GetLine(), 12);
        EXPECT_EQ(e.GetFile(), L"TCP");
        EXPECT_EQ(e.GetFunction(), L"CTCPPort::Auth");
        EXPECT_EQ(e.GetErrorMessage(), L"login incorrect");
        EXPECT_EQ(e.GetSource(), L"RE: no");
    }
}
