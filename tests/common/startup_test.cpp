// Starting and ending the library when its objects are linked into a program
// (the DLL does the same from its entry point).
#include "corvane/Common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane;

namespace {
std::vector<std::string> g_events;

void BuildLate() { g_events.push_back("build late"); }
void FreeLate() { g_events.push_back("free late"); }
void BuildEarly() { g_events.push_back("build early"); }
void FreeEarly() { g_events.push_back("free early"); }
void BuildBroken() { throw basalt::CWinException(__LINE__, L"Test", L"RegisterClassExW", ERROR_CLASS_ALREADY_EXISTS); }
void FreeBroken() { g_events.push_back("free broken"); }

// Registered in the opposite order of their construction order.
CStaticTableRegistration s_late(orderToshibaWindows + 1, L"test late", BuildLate, FreeLate);
CStaticTableRegistration s_broken(orderBluetoothAuthentication + 1, L"test broken", BuildBroken, FreeBroken);
CStaticTableRegistration s_early(orderSerialOptions - 1, L"test early", BuildEarly, FreeEarly);

bool SocketsWork() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    ::closesocket(s);
    return true;
}

std::vector<std::string> TestTablesBuilt() {
    std::vector<std::string> names;
    for (const basalt::ustring& name : CLibraryScope::BuiltTables())
        if (name.compare(0, 5, L"test ") == 0) names.push_back(name.ToCodePage(CP_UTF8));
    return names;
}
}  // namespace

TEST(LibraryStart, BuildsTablesByOrderAndTearsThemDownInReverse) {
    ASSERT_FALSE(CLibraryScope::IsStarted());
    g_events.clear();
    {
        CLibraryScope scope;
        EXPECT_TRUE(CLibraryScope::IsStarted());
        // The broken table is left out and the others are still built.
        EXPECT_EQ(TestTablesBuilt(), std::vector<std::string>({"test early", "test late"}));
        {
            CLibraryScope nested;  // scopes nest: only the outermost ends the library
        }
        EXPECT_TRUE(CLibraryScope::IsStarted());
        EXPECT_EQ(g_events, std::vector<std::string>({"build early", "build late"}));
    }
    EXPECT_FALSE(CLibraryScope::IsStarted());
    EXPECT_TRUE(CLibraryScope::BuiltTables().empty());
    EXPECT_EQ(g_events, std::vector<std::string>({"build early", "build late", "free late", "free early"}));
}

TEST(LibraryStart, WinsockLivesAsLongAsTheLibrary) {
    ASSERT_FALSE(CLibraryScope::IsStarted());
    EXPECT_FALSE(SocketsWork());
    {
        CLibraryScope scope;
        EXPECT_TRUE(SocketsWork()) << "WSAGetLastError " << ::WSAGetLastError();
    }
    EXPECT_FALSE(SocketsWork());
}

TEST(LibraryStart, AUnitRegisteredAfterTheStartGetsItsTableAtOnce) {
    g_events.clear();
    {
        CLibraryScope scope;
        g_events.clear();
        CStaticTableRegistration loaded(orderSerialOptions, L"test loaded",
                                        [] { g_events.push_back("build loaded"); },
                                        [] { g_events.push_back("free loaded"); });
        EXPECT_EQ(g_events, std::vector<std::string>({"build loaded"}));
        EXPECT_EQ(TestTablesBuilt().back(), "test loaded");
    }
    // Torn down first: it was built last.
    ASSERT_GE(g_events.size(), 2u);
    EXPECT_EQ(g_events[1], "free loaded");
}
