// The fault matrix: the Read job and the Write job against the simulated
// device in virtual time, once for every kind of reply fault, at every command
// of the job and on every attempt of that command. The outcome each case must
// have is worked out by the rules in Derive() below, from how the link, the
// exchange and the device behave, not from running the code; the test then
// checks that the job ends exactly so, and always idle and clean.
//
// Placing a fault on attempt k: attempts 1 to k - 1 of that command are lost
// to silence (the device never hears them), attempt k gets the fault, and
// every other request of the job is answered soundly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harness.h"
#include "SimPeer.h"
#include "job/JobFlags.h"
#include "job/Panel.h"
#include "link/SerialLink.h"

namespace qmb::test {
namespace {

using sim::Fault;
using sim::FaultKind;
using sim::RequestKind;

enum class Job { kRead, kWrite };
enum class Command { kQuery, kRead, kWrite, kCommit };

// The fault kinds of the simulator; pieces and delay in two regimes each:
// the whole reply still inside the attempt's three 400 ms reads, or not.
enum class Kind {
    kSilent,
    kTruncate,
    kCorrupt,
    kLengthPlusOne,
    kTrailing,
    kPiecesWithin,
    kPiecesBeyond,
    kDelayWithin,
    kDelayBeyond,
    kZeroLength,
    kHangUp,
};

struct MatrixCase {
    Job job;
    Command command;
    int attempt;  // 1-based
    Kind kind;
};

const char* JobName(Job job) {
    return job == Job::kRead ? "Read" : "Write";
}

const char* CommandName(Command command) {
    switch (command) {
        case Command::kQuery:
            return "query";
        case Command::kRead:
            return "read";
        case Command::kWrite:
            return "write";
        case Command::kCommit:
            return "commit";
    }
    return "?";
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kSilent:
            return "silent";
        case Kind::kTruncate:
            return "truncate";
        case Kind::kCorrupt:
            return "corrupt";
        case Kind::kLengthPlusOne:
            return "lengthplus1";
        case Kind::kTrailing:
            return "trailing";
        case Kind::kPiecesWithin:
            return "pieces_within";
        case Kind::kPiecesBeyond:
            return "pieces_beyond";
        case Kind::kDelayWithin:
            return "delay_within";
        case Kind::kDelayBeyond:
            return "delay_beyond";
        case Kind::kZeroLength:
            return "zerolength";
        case Kind::kHangUp:
            return "hangup";
    }
    return "?";
}

std::string CaseName(const MatrixCase& c) {
    return std::string(JobName(c.job)) + "_" + CommandName(c.command) + "_attempt" +
           std::to_string(c.attempt) + "_" + KindName(c.kind);
}

void PrintTo(const MatrixCase& c, std::ostream* os) {
    *os << CaseName(c);
}

std::vector<Command> CommandsOf(Job job) {
    if (job == Job::kRead) return {Command::kQuery, Command::kRead};
    return {Command::kQuery, Command::kWrite, Command::kCommit};
}

// The query and the read try three times, the write and the commit once.
int AttemptsOf(Command command) {
    return command == Command::kQuery || command == Command::kRead ? 3 : 1;
}

const char* MessageOf(Command command) {
    switch (command) {
        case Command::kQuery:
            return "Error reading section params";
        case Command::kRead:
            return "Error reading memory";
        case Command::kWrite:
            return "Error writing memory";
        case Command::kCommit:
            return "Error updating EEPROM";
    }
    return "?";
}

RequestKind RequestOf(Command command) {
    switch (command) {
        case Command::kQuery:
            return RequestKind::kSectionInfo;
        case Command::kRead:
            return RequestKind::kRead;
        case Command::kWrite:
            return RequestKind::kWrite;
        case Command::kCommit:
            return RequestKind::kCommit;
    }
    return RequestKind::kAny;
}

// Stray bytes for the trailing fault; the second is no frame type byte, so
// a reply that starts with them never validates.
const Bytes kStrayBytes = {0xAA, 0x00, 0xFF};

// The simulator's fault for a kind. Reply lengths here: query 33, read 25,
// write and commit 17. Pieces of 5, 5 and the rest give every reply three
// pieces; sent at once, 450 ms apart they land in the three reads of one
// attempt, 700 ms apart the last one comes after them (about 1.4 s).
Fault FaultOf(Kind kind, Command command) {
    Fault f;
    f.request = RequestOf(command);
    switch (kind) {
        case Kind::kSilent:
            f.kind = FaultKind::kSilent;
            break;
        case Kind::kTruncate:
            f.kind = FaultKind::kTruncate;
            f.offset = 10;
            break;
        case Kind::kCorrupt:
            f.kind = FaultKind::kCorrupt;
            f.offset = 16;  // first data byte of a read reply; checksum of a 17-byte one
            break;
        case Kind::kLengthPlusOne:
            f.kind = FaultKind::kLengthPlusOne;
            break;
        case Kind::kTrailing:
            f.kind = FaultKind::kTrailing;
            f.trailing = kStrayBytes;
            break;
        case Kind::kPiecesWithin:
            f.kind = FaultKind::kPieces;
            f.pieceSizes = {5, 5};
            f.pauseMs = {450};
            break;
        case Kind::kPiecesBeyond:
            f.kind = FaultKind::kPieces;
            f.pieceSizes = {5, 5};
            f.pauseMs = {700};
            break;
        case Kind::kDelayWithin:
            f.kind = FaultKind::kDelay;
            f.delayMs = 600;
            break;
        case Kind::kDelayBeyond:
            f.kind = FaultKind::kDelay;
            f.delayMs = 1500;
            break;
        case Kind::kZeroLength:
            f.kind = FaultKind::kZeroLength;
            break;
        case Kind::kHangUp:
            f.kind = FaultKind::kHangUp;
            f.offset = 10;
            break;
    }
    return f;
}

// What the job must end with.
struct Outcome {
    int exitCode;         // 0 normal end, 1 FailJob
    std::string message;  // the one message shown, or none
    bool eepromNew;       // the section's EEPROM holds the written bytes
};

// How one attempt's reply fares at the tool.
enum class Fate {
    kSound,       // validated
    kFailed,      // missing, short, mis-framed or late: the attempt fails
    kStray,       // validated, but bytes follow it on the line
    kZeroLength,  // validated, reporting length 0
    kLineDead,    // the attempt fails and the line is gone
};

Fate FateOf(Kind kind) {
    switch (kind) {
        // Every byte arrives before the attempt's third read ends: the
        // receive is whole and the fault goes unnoticed.
        case Kind::kPiecesWithin:
        case Kind::kDelayWithin:
            return Fate::kSound;
        case Kind::kTrailing:
            return Fate::kStray;
        case Kind::kZeroLength:
            return Fate::kZeroLength;
        case Kind::kHangUp:
            return Fate::kLineDead;
        // Nothing, too little, a bad checksum or length field, or the last
        // bytes after the third read: the attempt fails. Whatever still
        // arrives lands in the pause and goes with the purge after it, so
        // the next attempt starts clean.
        default:
            return Fate::kFailed;
    }
}

// The rules, walked command by command and attempt by attempt.
Outcome Derive(const MatrixCase& c) {
    bool stray = false;      // bytes left on the line by the last reply
    bool eepromNew = false;  // a commit reached the device
    for (Command command : CommandsOf(c.job)) {
        const int attempts = AttemptsOf(command);
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            Fate fate = Fate::kSound;
            bool heard = true;  // the device acted on the request
            if (command == c.command && attempt < c.attempt) {
                fate = Fate::kFailed;  // lost to silence on the way to the device
                heard = false;
            } else if (command == c.command && attempt == c.attempt) {
                fate = FateOf(c.kind);
                heard = c.kind != Kind::kSilent;  // only silence loses the request
            }
            if (stray) {
                // Bytes left after a good reply are read as the start of the
                // next one, which then fails validation; the request itself
                // went through. The pause and purge clear the line again.
                fate = Fate::kFailed;
                stray = false;
            }
            // A commit that the device hears copies the section to EEPROM
            // whole, whatever becomes of its reply.
            if (command == Command::kCommit && heard) eepromNew = true;
            const bool last = attempt == attempts;
            switch (fate) {
                case Fate::kSound:
                    break;
                case Fate::kStray:
                    stray = true;
                    break;
                case Fate::kZeroLength:
                    // A sound reply ends the exchange; its length 0 then
                    // fails the query at once, with no further attempt.
                    return {1, MessageOf(command), eepromNew};
                case Fate::kLineDead:
                    // The pause and purge need no line, so on the last attempt
                    // the command's message comes through. Otherwise the next
                    // attempt's send fails: the job ends with no message.
                    return {1, last ? MessageOf(command) : "", eepromNew};
                case Fate::kFailed:
                    if (last) return {1, MessageOf(command), eepromNew};
                    continue;  // the next attempt
            }
            break;  // this command is done
        }
    }
    // A clean end; stray bytes after the last reply go with the port's close.
    return {0, "", eepromNew};
}

std::vector<MatrixCase> AllCases() {
    const Kind kinds[] = {Kind::kSilent,        Kind::kTruncate,    Kind::kCorrupt,
                          Kind::kLengthPlusOne, Kind::kTrailing,    Kind::kPiecesWithin,
                          Kind::kPiecesBeyond,  Kind::kDelayWithin, Kind::kDelayBeyond,
                          Kind::kZeroLength,    Kind::kHangUp};
    std::vector<MatrixCase> cases;
    for (Job job : {Job::kRead, Job::kWrite}) {
        for (Command command : CommandsOf(job)) {
            for (int attempt = 1; attempt <= AttemptsOf(command); ++attempt) {
                for (Kind kind : kinds) {
                    // The device reports a length only in a query's reply.
                    if (kind == Kind::kZeroLength && command != Command::kQuery) continue;
                    cases.push_back({job, command, attempt, kind});
                }
            }
        }
    }
    return cases;
}

// Section 11 of the simulated device: 8 bytes at 11 22 33.
const Bytes kOld = FromHex("A0 A1 A2 A3 A4 A5 A6 A7");
const char kOldHex[] = "A0 A1 A2 A3 A4 A5 A6 A7 ";
// Every byte differs from the old one, the first included.
const Bytes kNew = FromHex("5A 01 02 03 04 05 06 C7");
const char kNewHex[] = "5A 01 02 03 04 05 06 C7";
const char kUntouchedHex[] = "untouched";

class FaultMatrixTest : public CoreTest, public ::testing::WithParamInterface<MatrixCase> {
  protected:
    Bytes Eeprom11() const {
        const sim::Section* s = sim.model.GetSection(11);
        return Bytes(s->eeprom.begin(), s->eeprom.begin() + s->length);
    }

    SimPeer sim{port, clock};
};

TEST_P(FaultMatrixTest, EndsAsTheRulesSay) {
    const MatrixCase& c = GetParam();
    const Outcome want = Derive(c);
    panel.Type(IDC_SECTION, "11");
    panel.Type(IDC_HEX, c.job == Job::kWrite ? kNewHex : kUntouchedHex);
    if (c.attempt > 1) {
        Fault lost = FaultOf(Kind::kSilent, c.command);
        lost.count = static_cast<uint32_t>(c.attempt - 1);
        sim.model.AddFault(lost);
    }
    Fault fault = FaultOf(c.kind, c.command);
    fault.skip = static_cast<uint32_t>(c.attempt - 1);
    sim.model.AddFault(fault);

    EXPECT_EQ(RunWorker(c.job == Job::kRead ? kJobRead : kJobWrite), want.exitCode);

    const std::vector<std::string> messages =
        want.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{want.message};
    EXPECT_EQ(panel.Messages(), messages);
    EXPECT_TRUE(sim.model.PendingFaults().empty()) << "the fault never hit its attempt";
    EXPECT_EQ(sim.HangUps(), c.kind == Kind::kHangUp ? 1 : 0);

    // Every end is idle and clean.
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(panel.IsIdle()) << panel.DisabledButtons() << " / " << panel.Text(IDC_STATUS);
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_EQ(ClockRunning.load(), 0);

    if (c.job == Job::kRead) {
        EXPECT_EQ(panel.Text(IDC_HEX), want.exitCode == 0 ? kOldHex : kUntouchedHex);
        EXPECT_EQ(panel.Text(IDC_LENGTH), want.exitCode == 0 ? "8" : "");
        EXPECT_EQ(Eeprom11(), kOld) << "a Read never changes the device";
    } else {
        // The EEPROM holds the old section or the new one, never a mix, and
        // exactly the one the rules name.
        EXPECT_EQ(Eeprom11(), want.eepromNew ? kNew : kOld) << ToHex(Eeprom11());
        EXPECT_EQ(panel.Text(IDC_HEX), kNewHex);
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<MatrixCase>& p) {
                             return CaseName(p.param);
                         });

}  // namespace
}  // namespace qmb::test
