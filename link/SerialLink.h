// The serial link: the one port of the process, its fixed settings, and byte
// transfers with their time limits, abort checks and activity flags.
//
// The link reaches nothing above it: abort checks, stops and the port
// indicator go to its host (LinkHost.h).
//
// Threads: everything here runs on the job worker's thread, except that the
// lamp timer (UI thread) reads and clears RxLed and TxLed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/LinkHost.h"
#include "link/Port.h"

namespace qmb {

// Read attempts inside one ReceiveBytes, and attempts of the section-info and
// memory-read commands.
constexpr int kRetryLimit = 3;

// Set to 1 after every successful ReceiveBytes / every SendBytes; cleared by
// the lamp timer. A lost update only makes a lamp blink one tick more or less.
extern std::atomic<uint8_t> RxLed;
extern std::atomic<uint8_t> TxLed;

// Bytes delivered by the last ReceiveBytes call.
extern uint32_t BytesReceived;

// Binds the OS port and tick counter used by the link. Both outlive all jobs.
void BindPort(Port* port, TickCounter* ticks);

// Opens "COM<digit>" ('1' to '4') with the fixed line settings and time
// limits, purges it and shows "38400" on the port indicator. On failure
// closes the port (showing "CLOSED") and returns false.
bool OpenPort(char digit);

// The same for any device name the port understands ("COM12", a path).
bool OpenPortNamed(const char* deviceName);

// Why the last failed open failed (kNone after a successful one).
OpenFailure PortOpenFailure();

// True once the open line has failed for good (see Port::LineLost).
bool PortLineLost();

// Closes the port (harmless when closed) and shows "CLOSED".
void ClosePort();

// Writes the bytes. Stops the command through the host, without a message,
// when it asks to stop or the write fails; returns true otherwise.
bool SendBytes(const uint8_t* bytes, size_t count);

// Reads exactly count bytes in at most kRetryLimit timed read attempts.
// Zero-fills buf[0, count) first; BytesReceived holds what arrived. Stops the
// command through the host when it asks to stop before an attempt.
bool ReceiveBytes(uint8_t* buf, size_t count);

// Discards everything pending on the port in both directions.
void PurgePort();

// Waits ms milliseconds of the tick counter, sleeping the time that is left
// (again when a sleep ends early). Correct across the counter's wrap. Does
// not look at the abort bit.
void BusyWait(uint32_t ms);

// The tick counter, in milliseconds.
uint32_t TickCount();

}  // namespace qmb
