#include "job/Worker.h"

#include <cstdio>

#include "job/HexText.h"
#include "job/JobFlags.h"
#include "protocol/Messages.h"
#include "job/Panel.h"
#include "job/StartAbort.h"
#include "link/SerialLink.h"
#include "protocol/Commands.h"

namespace qmb {

int32_t HeldSectionNumber = kInitialSectionNumber;

namespace {

SectionInfo g_section;

bool FlagSet(uint32_t bits) {
    return (JobFlags.load() & bits) != 0;
}

// Shows the message, waits for the operator, and ends the job.
[[noreturn]] void Report(const char* message) {
    ShowErrorBox(message);
    FailJob(1);
}

void SetDecimal(int id, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    SetControlText(id, text);
}

int32_t TakeSectionNumber() {
    char text[2048];
    GetControlText(IDC_SECTION, text, kSectionTextLimit);
    int32_t number;
    if (ScanSectionNumber(text, &number)) HeldSectionNumber = number;
    if (!IsValidSectionNumber(HeldSectionNumber)) Report(kMsgWrongSection);
    return HeldSectionNumber;
}

void ReadPart(int32_t section) {
    SetControlText(IDC_STATUS, kStatusReading);
    if (!QuerySectionInfo(section, g_section)) Report(kMsgSectionParams);
    if (!ReadSectionMemory(SectionBuffer, g_section.address, g_section.length)) {
        Report(kMsgReadMemory);
    }
    FormatHexDump(SectionBuffer, g_section.length);
    SetDecimal(IDC_LENGTH, g_section.length);
    SetDecimal(IDC_SECTION, section & 0xFFFF);
}

void WritePart(int32_t section) {
    if (FlagSet(kJobLoop)) BusyWait(kLoopPauseMs);
    SetControlText(IDC_STATUS, kStatusWriting);
    if (!QuerySectionInfo(section, g_section)) Report(kMsgSectionParams);
    const int count = ParseHexText(SectionBuffer);
    if (count == -1) Report(kMsgWrongData);
    if (count != g_section.length) Report(kMsgDataSize);
    if (!WriteSectionMemory(SectionBuffer, g_section.address, g_section.length)) {
        Report(kMsgWriteMemory);
    }
    if (!CommitSection(section)) Report(kMsgUpdateEeprom);
}

void EndNormally() {
    SetControlText(IDC_STATUS, kStatusReady);
    ClosePort();
    ClearJobFlagsAtEnd();
    ClockRunning.store(0);
    SetControlText(IDC_PORT_STATUS, kPortClosed);
    SetControlText(IDC_TAT, kCaptionTat);
    SetControlText(IDC_LOOP, kCaptionLoop);
    SetControlDisabled(IDC_READ, false);
    SetControlDisabled(IDC_WRITE, false);
    SetControlDisabled(IDC_TAT, false);
    SetControlDisabled(IDC_LOOP, false);
    InvalidateControl(IDC_WRITE);
    InvalidateControl(IDC_READ);
    InvalidateControl(IDC_TAT);
    InvalidateControl(IDC_LOOP);
    FinishJobEnd();
}

void JobBody() {
    ClockRunning.store(1);
    if (!OpenPort(static_cast<char>('1' + SelectedPortIndex()))) Report(kMsgPortBusy);
    do {
        if (FlagSet(kJobTat | kJobLoop)) {
            SetControlText(IDC_STATUS, kStatusIgnition);
            WaitForIgnition();
        }
        const int32_t section = TakeSectionNumber();
        if (FlagSet(kJobRead)) ReadPart(section);
        if (FlagSet(kJobWrite | kJobLoop)) WritePart(section);
        DefaultBeep();
    } while (FlagSet(kJobLoop));
    EndNormally();
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

bool ScanSectionNumber(const char* text, int32_t* number) {
    const char* p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < (int64_t{1} << 32)) value = value * 10 + (*p - '0');
    }
    // Beyond 32 bits "%d" gives no defined value; the text is at most four
    // characters here, so this only keeps arbitrary callers well defined.
    *number = static_cast<int32_t>(static_cast<uint32_t>(negative ? -value : value));
    return true;
}

bool IsValidSectionNumber(int32_t number) {
    const uint16_t low = static_cast<uint16_t>(number & 0xFFFF);
    return low != 0 && low <= 255;
}

int JobWorker() {
    return RunJob(&JobBody);
}

}  // namespace qmb
