// The link's host: whoever runs commands over a serial link (a window's job
// control, the command-line tool's device) and decides when a command must
// stop.
//
// The link asks its host before every transfer (each write and each read
// attempt) whether to stop, and hands the host every stop it makes itself
// (an abort seen, a write the port refused); the host then ends the running
// command and never returns to the link. The port indicator ("38400" while
// open, "CLOSED") also goes to the host.
//
// Threads: called on the thread that runs the link's commands.
#pragma once

namespace qmb {

// The port indicator's text while the port is closed.
inline constexpr char kPortClosedText[] = "CLOSED";

// Why the link stopped a command.
enum class LinkStop {
    kStopRequested,  // StopRequested() said so before a transfer
    kWriteFailed,    // the port refused a write (a line that is gone, mostly)
};

class LinkHost {
  public:
    virtual ~LinkHost() = default;
    // Asked before every transfer; true stops the command there.
    virtual bool StopRequested() = 0;
    // Ends the running command (unwinds or ends the thread); must not return.
    [[noreturn]] virtual void Stop(LinkStop why) = 0;
    // The port indicator: the baud rate while the port is open, "CLOSED".
    virtual void ShowPortState(const char* text) = 0;
};

// Binds the host of the default link (SerialLink.h); the object outlives
// every command. Job control binds its own with the panel (BindPanel).
void BindLinkHost(LinkHost* host);

}  // namespace qmb
