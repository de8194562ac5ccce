#include "device/Device.h"

#include <cstdio>

#include "link/SystemPort.h"
#include "platform/System.h"
#include "protocol/Messages.h"

namespace qmb::device {

Device::Device(Port& port, TickCounter& ticks, InterruptCheck interrupted)
    : port_(port),
      ticks_(ticks),
      interrupted_(interrupted ? interrupted : &platform::Interrupted),
      link_(port, ticks, *this),
      exchange_(link_) {}

Device::Device(std::unique_ptr<Port> port, TickCounter& ticks, InterruptCheck interrupted)
    : Device(*port, ticks, interrupted) {
    ownedPort_ = std::move(port);
}

Device::~Device() {
    port_.Close();
}

bool Device::Interrupted() const {
    return interrupted_() || stopRequested_.load();
}

void Device::Open(const std::string& name) {
    path_ = port_.DevicePath(name.c_str());
    if (link_.Open(name.c_str())) return;
    const OpenFailure failure = link_.OpenFailureReason();
    std::string where = path_ == name ? name : path_ + " (" + name + ")";
    Fault kind = Fault::kPortUnusable;
    std::string what = "cannot open " + where + ": ";
    switch (failure) {
        case OpenFailure::kAbsent:
            kind = Fault::kPortAbsent;
            what = "no port " + where;
            break;
        case OpenFailure::kBusy:
            kind = Fault::kPortBusy;
            what = std::string(kMsgPortBusy) + ": " + where;
            break;
        case OpenFailure::kDenied:
            kind = Fault::kPortDenied;
            what += "permission denied";
            break;
        default:
            what += OpenFailureName(failure);
            break;
    }
    const std::string advice = OpenFailureAdvice(failure);
    throw DeviceFault(kind, 0, advice.empty() ? what : what + "; " + advice);
}

void Device::Close() {
    link_.Close();
}

void Device::Count(const ExchangeOutcome& outcome) {
    if (outcome.attempts > 1) retries_ += outcome.attempts - 1;
}

void Device::ThrowExchangeFailure(int section, const std::string& message,
                                  const ExchangeOutcome& outcome) {
    if (link_.LineLost())
        throw DeviceFault(Fault::kPortLost, section,
                          message + ": the line to " + path_ + " went away");
    const std::string attempts =
        std::to_string(outcome.attempts) + (outcome.attempts == 1 ? " attempt" : " attempts");
    if (outcome.lastVerdict == ReplyVerdict::kTimeout) {
        throw DeviceFault(Fault::kNoReply, section, message + ": no reply after " + attempts);
    }
    throw DeviceFault(Fault::kBadReply, section,
                      message + ": " + ReplyVerdictName(outcome.lastVerdict) + " reply after " +
                          attempts);
}

namespace {
std::string Which(int section) {
    return " (section " + std::to_string(section) + ")";
}

[[noreturn]] void ThrowAbsent(int section) {
    throw DeviceFault(Fault::kAbsent, section,
                      std::string(kMsgSectionParams) + ": section " + std::to_string(section) +
                          " is absent (length 0)");
}
}  // namespace

SectionInfo Device::Info(int section) {
    const SectionQuery q = QuerySectionInfo(exchange_, section);
    Count(q.exchange);
    if (q.state == SectionState::kFailed)
        ThrowExchangeFailure(section, kMsgSectionParams + Which(section), q.exchange);
    return q.info;
}

Bytes Device::Read(int section, SectionInfo* infoOut) {
    const SectionInfo info = Info(section);
    if (info.length == 0) ThrowAbsent(section);
    if (infoOut) *infoOut = info;
    return ReadMemory(section, info);
}

Bytes Device::ReadMemory(int section, const SectionInfo& info) {
    Bytes bytes(info.length);
    const CommandResult r = ReadSectionMemory(exchange_, bytes.data(), info.address, info.length);
    Count(r.exchange);
    if (!r.ok) ThrowExchangeFailure(section, kMsgReadMemory + Which(section), r.exchange);
    return bytes;
}

SectionInfo Device::WriteTarget(int section, size_t size) {
    const SectionInfo info = Info(section);
    if (info.length == 0) ThrowAbsent(section);
    if (size != info.length) {
        throw DeviceFault(Fault::kData, section,
                          std::string(kMsgDataSize) + ": section " + std::to_string(section) +
                              " holds " + std::to_string(info.length) + " bytes, the data has " +
                              std::to_string(size));
    }
    return info;
}

void Device::WriteMemory(int section, const SectionInfo& info, const Bytes& bytes) {
    const CommandResult r = WriteSectionMemory(exchange_, bytes.data(), info.address, info.length);
    Count(r.exchange);
    if (!r.ok) ThrowExchangeFailure(section, kMsgWriteMemory + Which(section), r.exchange);
}

void Device::Commit(int section) {
    commitUncertain_ = false;
    try {
        const CommandResult r = CommitSection(exchange_, section);
        Count(r.exchange);
        if (!r.ok) {
            commitUncertain_ = exchange_.Last().sent > 0;
            ThrowExchangeFailure(section, kMsgUpdateEeprom + Which(section), r.exchange);
        }
    } catch (const DeviceFault&) {
        // A stop after the request went out leaves the device's answer unknown.
        commitUncertain_ = exchange_.Last().sent > 0;
        throw;
    }
}

void Device::Write(int section, const Bytes& bytes, SectionInfo* infoOut) {
    const SectionInfo info = WriteTarget(section, bytes.size());
    if (infoOut) *infoOut = info;
    WriteMemory(section, info, bytes);
    Commit(section);
}

void Device::WaitForHandshake(uint32_t timeoutMs) {
    deadlineSet_ = timeoutMs > 0;
    deadlineStart_ = ticks_.Now();
    deadlineMs_ = timeoutMs;
    WaitForIgnition(exchange_);
    deadlineSet_ = false;
}

void Device::Pause(uint32_t ms) {
    link_.Pause(ms);
}

bool Device::DeadlinePassed() {
    return deadlineSet_ && ticks_.Now() - deadlineStart_ >= deadlineMs_;
}

bool Device::StopRequested() {
    return Interrupted() || link_.LineLost() || DeadlinePassed();
}

void Device::Stop(LinkStop why) {
    const bool timedOut = DeadlinePassed();
    deadlineSet_ = false;
    if (Interrupted()) throw DeviceFault(Fault::kInterrupted, 0, "interrupted");
    if (why == LinkStop::kWriteFailed || link_.LineLost()) {
        throw DeviceFault(Fault::kPortLost, 0,
                          "the line to " + path_ +
                              " went away (hang-up, unplugged adapter or I/O error)");
    }
    if (timedOut) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", deadlineMs_ / 1000.0);
        throw DeviceFault(Fault::kNoReply, 0,
                          std::string("no ignition handshake within ") + seconds + " s");
    }
    throw DeviceFault(Fault::kInterrupted, 0, "stopped");
}

}  // namespace qmb::device
