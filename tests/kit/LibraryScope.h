#pragma once
// For a program linked with the library's objects rather than the DLL: the
// library's start (Winsock and its static tables), once the static
// registrations of all its units have run, and its end after the last test.
// Including this header is enough; the DLL does the same when it loads.
#include "Common.h"

#include <gtest/gtest.h>

#include <memory>

namespace testkit {

class CLibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_scope.reset(new corvane::CLibraryScope); }
    void TearDown() override { m_scope.reset(); }

private:
    std::unique_ptr<corvane::CLibraryScope> m_scope;
};

inline ::testing::Environment* const libraryEnvironment =
    ::testing::AddGlobalTestEnvironment(new CLibraryEnvironment);

}  // namespace testkit
