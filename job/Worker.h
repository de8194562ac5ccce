// The job worker: puts the device commands together into the operator's
// jobs (Read, Write, TAT Mode, Loop TAT&Write), one pass or pass after pass.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb {

// The section number used when IDC_SECTION holds none: 11 at start-up, then
// the last number read. Worker thread (tests may reset it between jobs).
extern int32_t HeldSectionNumber;
constexpr int32_t kInitialSectionNumber = 11;

// Characters of IDC_SECTION fetched for the section number.
constexpr size_t kSectionTextLimit = 4;
constexpr uint32_t kLoopPauseMs = 1000;  // before each Loop pass's write part

// Scans text as the "%d" conversion does: leading white space skipped, an
// optional sign, then decimal digits. False when there are no digits.
bool ScanSectionNumber(const char* text, int32_t* number);

// True when the low 16 bits of number, as an unsigned value, are 1 to 255.
bool IsValidSectionNumber(int32_t number);

// Thread entry of the worker: runs the job that JobFlags describes and ends
// it (normal end, or FailJob after a message or an abort). Returns the
// thread's exit code: 0 for the normal end, 1 when FailJob ended the job.
int JobWorker();

}  // namespace qmb
