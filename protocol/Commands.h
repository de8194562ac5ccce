// Device commands: the four framed requests and the unframed ignition
// handshake. Builders are pure; the commands run them through Exchange on
// the thread that runs the line. Each command takes the line's
// ExchangeContext and returns what happened; the windows' forms without a
// context use the default one and report success as true or false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/CommandCodes.h"
#include "protocol/Frame.h"

namespace qmb {

// What the device reports for a section: its three-byte memory address (most
// significant first, sent back unchanged) and its length, 0 to 255.
struct SectionInfo {
    uint8_t address[3];
    uint16_t length;
};

constexpr size_t kSectionBufferSize = 1024;
// One section's image: reads deliver into it, the hex parse fills it, writes
// take from it.
extern uint8_t SectionBuffer[kSectionBufferSize];

constexpr int kWriteAttempts = 1;
constexpr uint32_t kReadPauseMs = 2000;   // after a failed query or read attempt
constexpr uint32_t kWritePauseMs = 1000;  // after a failed write or commit attempt

// Request builders; each returns the request's length. The section number is
// sent as its low 8 bits.
size_t BuildSectionInfoRequest(uint8_t out[kSectionInfoRequestSize], int section);
size_t BuildReadRequest(uint8_t out[kReadRequestSize], const uint8_t address[3], uint8_t n);
// Section bytes 0 to n-1 at offsets 24 to n+23, checksum at n+24. out holds
// kWriteRequestBufferSize bytes.
size_t BuildWriteRequest(uint8_t* out, const uint8_t address[3], const uint8_t* bytes, uint8_t n);
size_t BuildCommitRequest(uint8_t out[kCommitRequestSize], int section);

// What a section query found.
enum class SectionState {
    kPresent,  // a validated reply with a length other than 0
    kAbsent,   // a validated reply with length 0: the device has no such section
    kFailed,   // no validated reply after three attempts
};
struct SectionQuery {
    SectionState state;
    SectionInfo info;  // from the reply when present or absent; zero when failed
    ExchangeOutcome exchange;
};

// How a framed command other than the query went.
struct CommandResult {
    bool ok;  // a validated reply
    ExchangeOutcome exchange;
};

// Asks for a section's address and length (three attempts).
SectionQuery QuerySectionInfo(ExchangeContext& context, int section);
// Reads n bytes at address into dest (n + 17-byte reply, three attempts).
// n above 255 fails at once, nothing sent.
CommandResult ReadSectionMemory(ExchangeContext& context, uint8_t* dest,
                                const uint8_t address[3], uint16_t n);
// Writes n bytes from src to address (one attempt, 17-byte reply).
CommandResult WriteSectionMemory(ExchangeContext& context, const uint8_t* src,
                                 const uint8_t address[3], uint16_t n);
// Tells the device to update its EEPROM from the section (one attempt).
CommandResult CommitSection(ExchangeContext& context, int section);
// Waits for "I", answers "O", waits for "O", reads and drops 13 bytes. No
// time limit: only a stop from the link's host ends the wait early.
void WaitForIgnition(ExchangeContext& context);

// The windows' forms, on the default context.

// True on a validated reply with a length other than 0 (info is filled from
// any validated reply); false after three failed attempts, info unchanged.
bool QuerySectionInfo(int section, SectionInfo& info);
bool ReadSectionMemory(uint8_t* dest, const uint8_t address[3], uint16_t n);
bool WriteSectionMemory(const uint8_t* src, const uint8_t address[3], uint16_t n);
bool CommitSection(int section);
// Only an abort request (FailJob, through the host) ends the wait early.
void WaitForIgnition();

}  // namespace qmb
