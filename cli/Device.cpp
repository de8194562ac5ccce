#include "cli/Device.h"

#include <cstdio>

#include "cli/System.h"
#include "job/Messages.h"
#include "link/SerialLink.h"
#include "protocol/Frame.h"

namespace qmb::cli {

Device::Device(Port& port, TickCounter& ticks) : port_(port), ticks_(ticks) {
    BindPort(&port_, &ticks_);
    BindLinkHost(this);
}

Device::~Device() {
    port_.Close();
    BindLinkHost(nullptr);
    BindPort(nullptr, nullptr);
}

void Device::Open(const std::string& name) {
    path_ = port_.DevicePath(name.c_str());
    if (OpenPortNamed(name.c_str())) return;
    const OpenFailure failure = PortOpenFailure();
    std::string where = path_ == name ? name : path_ + " (" + name + ")";
    int code = kExitPortUnusable;
    std::string what = "cannot open " + where + ": ";
    switch (failure) {
        case OpenFailure::kAbsent:
            code = kExitPortAbsent;
            what = "no port " + where;
            break;
        case OpenFailure::kBusy:
            code = kExitPortBusy;
            what = std::string(kMsgPortBusy) + ": " + where;
            break;
        case OpenFailure::kDenied:
            code = kExitPortDenied;
            what += "permission denied";
            break;
        default:
            what += OpenFailureName(failure);
            break;
    }
    const std::string advice = OpenFailureAdvice(failure);
    throw CliError(code, advice.empty() ? what : what + "; " + advice);
}

void Device::Close() {
    ClosePort();
}

void Device::ThrowExchangeFailure(const std::string& message) {
    if (PortLineLost()) throw CliError(kExitPortLost, message + ": the line to " + path_ + " went away");
    const ReplyVerdict verdict = LastExchange.lastVerdict;
    const std::string attempts = std::to_string(LastExchange.attempts) +
                                 (LastExchange.attempts == 1 ? " attempt" : " attempts");
    if (verdict == ReplyVerdict::kTimeout) {
        throw CliError(kExitNoReply, message + ": no reply after " + attempts);
    }
    throw CliError(kExitBadReply, message + ": " + ReplyVerdictName(verdict) + " reply after " +
                                      attempts);
}

SectionInfo Device::Info(int section) {
    SectionInfo info{{0, 0, 0}, 0};
    if (QuerySectionInfo(section, info)) return info;
    if (LastExchange.lastVerdict == ReplyVerdict::kSound) return info;  // length 0
    ThrowExchangeFailure(std::string(kMsgSectionParams) + " (section " + std::to_string(section) +
                         ")");
}

namespace {
[[noreturn]] void ThrowAbsent(int section) {
    throw CliError(kExitData, std::string(kMsgSectionParams) + ": section " +
                                  std::to_string(section) + " is absent (length 0)");
}
}  // namespace

Bytes Device::Read(int section, SectionInfo* infoOut) {
    const SectionInfo info = Info(section);
    if (info.length == 0) ThrowAbsent(section);
    if (infoOut) *infoOut = info;
    return ReadMemory(section, info);
}

Bytes Device::ReadMemory(int section, const SectionInfo& info) {
    Bytes bytes(info.length);
    if (!ReadSectionMemory(bytes.data(), info.address, info.length)) {
        ThrowExchangeFailure(std::string(kMsgReadMemory) + " (section " + std::to_string(section) +
                             ")");
    }
    return bytes;
}

void Device::Write(int section, const Bytes& bytes, SectionInfo* infoOut) {
    const SectionInfo info = Info(section);
    if (info.length == 0) ThrowAbsent(section);
    if (infoOut) *infoOut = info;
    if (bytes.size() != info.length) {
        throw CliError(kExitData, std::string(kMsgDataSize) + ": section " +
                                      std::to_string(section) + " holds " +
                                      std::to_string(info.length) + " bytes, the data has " +
                                      std::to_string(bytes.size()));
    }
    const std::string which = " (section " + std::to_string(section) + ")";
    if (!WriteSectionMemory(bytes.data(), info.address, info.length)) {
        ThrowExchangeFailure(kMsgWriteMemory + which);
    }
    if (!CommitSection(section)) ThrowExchangeFailure(kMsgUpdateEeprom + which);
}

void Device::WaitForHandshake(uint32_t timeoutMs) {
    deadlineSet_ = timeoutMs > 0;
    deadlineStart_ = ticks_.Now();
    deadlineMs_ = timeoutMs;
    WaitForIgnition();
    deadlineSet_ = false;
}

void Device::Pause(uint32_t ms) {
    BusyWait(ms);
}

bool Device::DeadlinePassed() {
    return deadlineSet_ && ticks_.Now() - deadlineStart_ >= deadlineMs_;
}

bool Device::StopRequested() {
    return Interrupted() || PortLineLost() || DeadlinePassed();
}

void Device::Stop(LinkStop why) {
    const bool timedOut = DeadlinePassed();
    deadlineSet_ = false;
    if (Interrupted()) throw CliError(kExitInterrupted, "interrupted");
    if (why == LinkStop::kWriteFailed || PortLineLost()) {
        throw CliError(kExitPortLost, "the line to " + path_ +
                                          " went away (hang-up, unplugged adapter or I/O error)");
    }
    if (timedOut) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", deadlineMs_ / 1000.0);
        throw CliError(kExitNoReply, std::string("no ignition handshake within ") + seconds + " s");
    }
    throw CliError(kExitInterrupted, "stopped");
}

}  // namespace qmb::cli
