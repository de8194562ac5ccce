// The serial link: one port, its fixed settings, and byte transfers with
// their time limits, stop checks and activity flags.
//
// A SerialLink owns everything one line needs: its port and tick counter, its
// host (LinkHost.h), the lamp flags, why the last open failed and how many
// bytes the last receive delivered. One process drives as many lines as it
// has links, each on its own thread.
//
// The windows use one default link (SerialLink::Default()); their lamp timer
// and tests reach its lamps and byte count through it, and job control's
// commands through the free functions at the end of this header.
//
// Threads: a link is used by one thread at a time (the one running its
// commands), except that its lamp flags may be read and cleared from another
// (the windows' lamp timer).
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

class SerialLink {
  public:
    // A link with storage of its own, bound to nothing yet.
    SerialLink();
    // A link with storage of its own on port, ticks and host, which outlive it.
    SerialLink(Port& port, TickCounter& ticks, LinkHost& host);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // The windows' link, built on first use. Never destroyed.
    static SerialLink& Default();

    // Binds the OS port and tick counter; both outlive every command.
    void BindPort(Port* port, TickCounter* ticks);
    // Binds the host; it outlives every command.
    void BindHost(LinkHost* host);

    // Opens any device name the port understands ("COM3", a path) with the
    // fixed line settings and time limits, purges it and shows "38400" on
    // the port indicator. On failure closes the port (showing "CLOSED") and
    // returns false; OpenFailureReason() says why.
    bool Open(const char* deviceName);
    // Why the last failed open failed (kNone after a successful one).
    OpenFailure OpenFailureReason() const { return openFailure_; }
    // True once the open line has failed for good (see Port::LineLost).
    bool LineLost() const;
    // Closes the port (harmless when closed) and shows "CLOSED".
    void Close();

    // Writes the bytes. Stops the command through the host, without a
    // message, when it asks to stop or the write fails; true otherwise.
    bool Send(const uint8_t* bytes, size_t count);
    // As Send, but a refused write returns false instead of stopping, so that
    // the caller can record it before calling StopForFailedWrite().
    bool TrySend(const uint8_t* bytes, size_t count);
    [[noreturn]] void StopForFailedWrite();

    // Reads exactly count bytes in at most kRetryLimit timed read attempts.
    // Zero-fills buf[0, count) first; ReceivedCount() holds what arrived.
    // Stops the command through the host when it asks to stop before an
    // attempt.
    bool Receive(uint8_t* buf, size_t count);
    // Bytes delivered by the last Receive.
    uint32_t ReceivedCount() const { return bytesReceived_; }

    // Discards everything pending on the port in both directions.
    void Purge();
    // Waits ms milliseconds of the tick counter, sleeping the time that is
    // left (again when a sleep ends early). Correct across the counter's
    // wrap. Asks the host nothing.
    void Pause(uint32_t ms);
    // The tick counter, in milliseconds.
    uint32_t Ticks() const;

    // The lamp flags: set to 1 after every successful Receive / every Send;
    // cleared by the lamp timer. A lost update only makes a lamp blink one
    // tick more or less.
    std::atomic<uint8_t>& RxLed() { return rxLed_; }
    std::atomic<uint8_t>& TxLed() { return txLed_; }

  private:
    [[noreturn]] void StopCommand(LinkStop why);
    void StopIfRequested();

    std::atomic<uint8_t> rxLed_{0};
    std::atomic<uint8_t> txLed_{0};
    uint32_t bytesReceived_ = 0;
    Port* port_ = nullptr;
    TickCounter* ticks_ = nullptr;
    LinkHost* host_ = nullptr;
    OpenFailure openFailure_ = OpenFailure::kNone;
};

// The default link's operations that job control runs, one line each.
void BindPort(Port* port, TickCounter* ticks);
// Opens "COM<digit>" ('1' to '4').
bool OpenPort(char digit);
void ClosePort();
bool SendBytes(const uint8_t* bytes, size_t count);
bool ReceiveBytes(uint8_t* buf, size_t count);
void BusyWait(uint32_t ms);

}  // namespace qmb
