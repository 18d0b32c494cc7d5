#pragma once
// The one header of the Windows backend that pulls in the Windows SDK. Winsock
// 2 must come before <windows.h> (which would otherwise drag in the old
// winsock.h), and the SDK's short macros would collide with names in the
// portable code, so they are undone here.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <objbase.h>
// clang-format on

#undef ERROR
#undef DELETE
#undef interface
#undef min
#undef max
#undef StartServiceCtrlDispatcher
#undef RegisterServiceCtrlHandler
