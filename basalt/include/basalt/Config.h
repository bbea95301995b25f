#pragma once
// Export switch of Basalt.dll. Its build defines BASALT_BUILD; clients import.
#ifdef BASALT_BUILD
#define BASALT_API __declspec(dllexport)
#else
#define BASALT_API __declspec(dllimport)
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
