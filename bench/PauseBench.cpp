// The Windows counterpart of the benchmark's pause figure: one 2000 ms (or
// argv[1] ms) BusyWait on the GetTickCount counter, bracketed by two lines on
// standard output so that a reader outside can take the process's CPU time
// between them (scripts/bench-wine under Wine, where the thread times that
// Windows reports come in 10 ms steps).
//
// Prints "start", waits 200 ms, pauses, waits 200 ms, prints "end WALL_MS".
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "link/SerialLink.h"
#include "link/Win32Port.h"

int main(int argc, char** argv) {
    const unsigned ms = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 2000;
    qmb::Win32Port port;
    qmb::Win32TickCounter ticks;
    qmb::BindPort(&port, &ticks);
    std::printf("start\n");
    std::fflush(stdout);
    Sleep(200);  // the reader takes its first sample meanwhile
    const DWORD start = GetTickCount();
    qmb::BusyWait(ms);
    const DWORD wall = GetTickCount() - start;
    Sleep(200);
    std::printf("end %lu\n", static_cast<unsigned long>(wall));
    std::fflush(stdout);
    qmb::BindPort(nullptr, nullptr);
    return 0;
}
