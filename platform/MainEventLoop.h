#pragma once
// The main loop of the programs: a Win32 message loop on Windows, where the system's windows and
// device notifications need one, TStdEventLoop elsewhere. Both offer RunUntil and PendingCalls.
#ifdef _WIN32
#include "platform/win32/Win32EventLoop.h"
using TMainEventLoop = TWin32EventLoop;
#else
#include "platform/StdEventLoop.h"
using TMainEventLoop = TStdEventLoop;
#endif
