// The serial link: the one port of the process, its fixed settings, and byte
// transfers with their time limits, abort checks and activity flags.
//
// Threads: everything here runs on the job worker's thread, except that the
// lamp timer (UI thread) reads and clears RxLed and TxLed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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
// limits, purges it and shows "38400" in IDC_PORT_STATUS. On failure closes
// the port (showing "CLOSED") and returns false.
bool OpenPort(char digit);

// Closes the port (harmless when closed) and shows "CLOSED".
void ClosePort();

// Writes the bytes. Ends the job through FailJob, without a message, when an
// abort was requested or the write fails; returns true otherwise.
bool SendBytes(const uint8_t* bytes, size_t count);

// Reads exactly count bytes in at most kRetryLimit timed read attempts.
// Zero-fills buf[0, count) first; BytesReceived holds what arrived. Ends the
// job through FailJob when an abort is requested before an attempt.
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
