#pragma once
// Export switch of Corvane.dll. Its build defines CORVANE_BUILD; clients import.
#ifdef CORVANE_BUILD
#define CORVANE_API __declspec(dllexport)
#else
#define CORVANE_API __declspec(dllimport)
#endif

#include <Basalt.h>

#include <boost/shared_ptr.hpp>
#include <comutil.h>
