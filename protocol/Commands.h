// Device commands: the four framed requests and the unframed ignition
// handshake. Builders are pure; the commands run them through Exchange on the
// worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

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

constexpr uint8_t kCommandSectionInfo = 0x12;
constexpr uint8_t kCommandMemory = 0x02;
constexpr uint8_t kCommandCommit = 0x22;
constexpr uint8_t kDirectionRead = 0x01;
constexpr uint8_t kDirectionWrite = 0x02;
constexpr uint8_t kIgnitionByte = 'I';
constexpr uint8_t kIgnitionAnswer = 'O';
constexpr size_t kIgnitionTrailer = 13;  // bytes after the device's "O", not used

constexpr size_t kSectionInfoRequestSize = 17;
constexpr size_t kSectionInfoReplySize = 33;
constexpr size_t kReadRequestSize = 25;
constexpr size_t kReadReplyOverhead = 17;  // reply = n + 17 bytes, data at 16
constexpr size_t kReadReplyDataOffset = 16;
constexpr size_t kWriteRequestOverhead = 25;  // request = n + 25 bytes, data at 24
constexpr size_t kWriteRequestDataOffset = 24;
constexpr size_t kWriteRequestBufferSize = 1024;
constexpr size_t kWriteReplySize = 17;
constexpr size_t kCommitRequestSize = 17;
constexpr size_t kCommitReplySize = 17;
constexpr size_t kSectionInfoLengthOffset = 15;
constexpr size_t kSectionInfoAddressOffset = 21;

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

// Asks for a section's address and length. True on a validated reply with a
// length other than 0 (info is filled from any validated reply); false after
// three failed attempts, info unchanged.
bool QuerySectionInfo(int section, SectionInfo& info);

// Reads n bytes at address into dest (n + 17-byte reply, three attempts).
bool ReadSectionMemory(uint8_t* dest, const uint8_t address[3], uint16_t n);

// Writes n bytes from src to address (one attempt, 17-byte reply).
bool WriteSectionMemory(const uint8_t* src, const uint8_t address[3], uint16_t n);

// Tells the device to update its EEPROM from the section (one attempt).
bool CommitSection(int section);

// Waits for "I", answers "O", waits for "O", reads and drops 13 bytes. No
// time limit: only an abort request (FailJob) ends the wait early.
void WaitForIgnition();

}  // namespace qmb
