// The service bench: the whole device beside a reference, edited, and
// written back section by section where (and only where) bytes change. The
// model behind qmb-device's windows and qmb-cli's diff and patch; no window
// type, every rule here, the views only show it.
//
//   Snapshot      every section 1..255: not read, absent (length 0) or
//                 present (address, bytes); from the device (ReadAll) or a
//                 backup file (FromBackup).
//   Bench         the device's snapshot, a reference (a backup file or a
//                 second snapshot), the working copy (the snapshot plus
//                 edits, undo and redo without limit), the state of each
//                 section and byte, the differences, the write plan and
//                 patches.
//   ReadAll       the device into a snapshot (a worker thread).
//   WriteSections the write plan onto the device (a worker thread): the
//                 automatic backup first, then each section written,
//                 committed, read back and verified.
//
// Threads: a Snapshot, a Patch and a Bench are used by one thread at a time
// (the view's UI thread); ReadAll and WriteSections run on a worker thread
// with inputs of their own (a WriteJob is a copy), report progress through a
// callback on that worker thread (the view marshals it to its UI thread), and
// their results are handed to the Bench on its thread (SetDevice,
// TakeWritten). Stopping: a read-all stops at the next transfer after
// Device::RequestStop (any thread); a write stops before the next section
// once WriteJob::cancel is set (any thread), never between a section's write
// and its commit.
//
// Sizes are in bytes, offsets from a section's first byte; section numbers
// are 1 to 255, and a number outside that range is a caller's bug:
// std::out_of_range.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/BackupFile.h"
#include "device/Device.h"
#include "device/DeviceFault.h"
#include "device/Patch.h"

namespace qmb::device {

constexpr int kFirstSection = 1;
constexpr int kLastSection = 255;

// ---------------------------------------------------------------------------
// The snapshot

enum class Presence {
    kNotRead,  // not known: not read (yet), or the backup file does not say
    kAbsent,   // the device reports length 0
    kPresent,  // address and 1 to 255 bytes
};

struct SnapshotSection {
    Presence presence = Presence::kNotRead;
    uint8_t address[3] = {0, 0, 0};
    Bytes bytes;  // empty unless present
};

class Snapshot {
  public:
    // Every section not read.
    Snapshot() = default;

    // Throws std::out_of_range outside 1..255.
    const SnapshotSection& At(int number) const;
    // Marks the section present with address and bytes (1 to 255 of them;
    // std::invalid_argument otherwise), or absent, or not read.
    void SetPresent(int number, const uint8_t address[3], const Bytes& bytes);
    void SetAbsent(int number);
    void SetNotRead(int number);
    // New bytes for a section, its address kept (00 00 00 for one that was
    // not present); 1 to 255 of them, as SetPresent.
    void SetBytes(int number, const Bytes& bytes);

    // Every section read (present or absent).
    bool Complete() const;
    // How many sections are present, and their bytes together.
    int PresentCount() const;
    size_t PresentBytes() const;

    // A backup file's sections: those it holds present, those it lists as
    // absent absent (format 2), every other not read.
    static Snapshot FromBackup(const Backup& backup);
    // The backup file of the snapshot: its present sections, and the absent
    // ones listed as absent. Sections not read are in neither (as in a
    // backup of chosen sections).
    Backup ToBackup(const std::string& tool, const std::string& time,
                    const std::string& port) const;

  private:
    SnapshotSection& Slot(int number);
    std::array<SnapshotSection, kLastSection> sections_;
};

// ---------------------------------------------------------------------------
// Reading the whole device

struct ReadProgress {
    int done = 0;     // sections finished, 0 to 255
    int total = 255;  // sections to read
    int section = 0;  // the one being read now (0 once done)
};
using ReadProgressFn = std::function<void(const ReadProgress&)>;

// The end of a read-all or a write: kNone, or the fault, the section it
// happened on (0: none) and the operator's one-line message.
struct Failure {
    Fault fault = Fault::kNone;
    int section = 0;
    std::string message;
    bool Failed() const { return fault != Fault::kNone; }
};

struct ReadResult {
    Snapshot snapshot;  // every section read before the end; the rest not read
    Failure failure;    // kInterrupted after Device::RequestStop
};

// Every section 1..255 of the open device: its query, then the memory read
// of a present section; the same exchanges as `qmb-cli backup`, nothing
// more. progress (may be empty) is called before each section and once at
// the end, on the calling thread. Never throws a DeviceFault (it ends the
// read and is in the result); the calling thread is a worker's.
ReadResult ReadAll(Device& device, const ReadProgressFn& progress);

// ---------------------------------------------------------------------------
// Backup files

// Reads a backup file (either format). False with *error ("FILE: line N:
// ..." or why it could not be read); snapshot unchanged then.
bool LoadBackupFile(const std::string& path, Snapshot& snapshot, std::string* error);
// Writes the snapshot as a backup file, whole or not at all, creating the
// folders on its way. Refuses to replace an existing file unless replace is
// set. False with *error (one line, naming the file).
bool SaveBackupFile(const std::string& path, const Snapshot& snapshot, const std::string& port,
                    bool replace, std::string* error);

// The folder of automatic backups: the user's data folder's "backups"
// ($XDG_DATA_HOME/qmb-edit/backups, %LOCALAPPDATA%\qmb-edit\backups); ""
// when the environment names no data folder. Any thread.
std::string AutomaticBackupFolder();
// A new file name in folder for a backup taken at utcTime
// ("2026-12-09T10:15:00Z") of port: "2026-12-09T10-15-00Z_ttyUSB0.qmb", with
// "-2", "-3", ... before ".qmb" when that name is taken (an existing backup
// is never replaced). Characters of the port other than letters, digits,
// '.', '-' and '_' become '_'.
std::string AutomaticBackupPath(const std::string& folder, const std::string& utcTime,
                                const std::string& port);

// ---------------------------------------------------------------------------
// Writing the plan

struct SectionWrite {
    int section = 0;
    Bytes bytes;           // the whole section as it is to be
    size_t changed = 0;    // bytes that differ from the device's
};

struct WriteProgress {
    size_t done = 0;   // sections written and verified
    size_t total = 0;  // sections planned
    int section = 0;   // the one under way (0: the backup, or done)
};
using WriteProgressFn = std::function<void(const WriteProgress&)>;

// A write, with everything it needs copied in (the worker owns it).
struct WriteJob {
    std::vector<SectionWrite> plan;  // rising section numbers
    Snapshot before;   // the device's content as read: the automatic backup,
                       // and what each planned section must still hold
    // Checks, before anything is written, that each planned section still
    // holds what `before` says (a memory read each); a board changed or
    // swapped since it was read is refused with nothing written.
    bool checkDevice = true;
    // The automatic backup of `before`: written (AutomaticBackupPath) before
    // the first write frame; "" turns it off.
    std::string backupFolder;
    std::string port;  // for the backup's name and header
    std::string time;  // the backup's UTC time ("2026-12-09T10:15:00Z"); "": now
    // Set from any thread: no section after the one under way is begun.
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
};

struct WriteResult {
    std::vector<SectionWrite> written;  // written, committed and verified, in order
    std::vector<int> notWritten;        // planned and never sent (after a failure or Cancel)
    // The failed section's commit went out and its answer was lost: the
    // device may or may not hold the new bytes (failure.section says which).
    bool uncertain = false;
    std::string backupPath;  // the automatic backup, "" when off or not reached
    // kMismatch: the device no longer holds `before` (nothing written), or
    // a read-back differs; kFile: the automatic backup could not be written
    // (nothing written); kInterrupted: Cancel or Device::RequestStop; the
    // device's faults as they came.
    Failure failure;
    // One line per byte (or layout) that did not match, for kMismatch.
    std::vector<std::string> mismatches;
};

// Writes the plan on the open device: the check (when asked), the automatic
// backup (when a folder is given), then for each planned section its query
// and size check, the memory write, the commit, the read-back and the
// compare. The first failure ends it: the sections after it are not sent.
// An empty plan does nothing at all (no check, no backup).
// Never throws a DeviceFault; the calling thread is a worker's.
WriteResult WriteSections(Device& device, const WriteJob& job, const WriteProgressFn& progress);

// ---------------------------------------------------------------------------
// Patches against a snapshot

// One byte (or section) where a patch's old bytes are not what is there:
// "section 11 offset 4: the patch says A4, the device holds 00".
struct PatchMismatch {
    int section = 0;
    size_t offset = 0;
    std::string text;
};

// Every old byte of the patch against the snapshot (present sections only;
// a section absent, not read or too short is one mismatch). Empty: it fits.
std::vector<PatchMismatch> CheckPatch(const Patch& patch, const Snapshot& holds,
                                      const char* holderName = "the device");
// The snapshot with the patch's new bytes in (call only when it fits).
Snapshot ApplyPatch(const Patch& patch, const Snapshot& holds);
// The patch that turns `from` into `to`: every section present in both with
// the same length. Sections the patch cannot express (present in one only,
// another length or address; not read in one is skipped silently) become
// notes, and their numbers go to *inexpressible when given.
Patch DiffSnapshots(const Snapshot& from, const Snapshot& to,
                    std::vector<int>* inexpressible = nullptr);
// The write plan that brings the device from `device` to `target`: every
// present section whose bytes differ, with its count.
std::vector<SectionWrite> PlanWrites(const Snapshot& device, const Snapshot& target);

// ---------------------------------------------------------------------------
// The bench

// A section in the table. Edited wins over the comparison: the device's
// content is compared with the reference until bytes are edited.
enum class SectionState {
    kNotRead,     // the device's section is not read
    kEdited,      // the working copy differs from the device (not yet written)
    kSame,        // the device and the reference agree (absent in both included)
    kDifferent,   // both present: bytes, length or address differ
    kOnlyDevice,  // present on the device; absent or unknown in the reference
    kOnlyFile,    // absent on the device; present in the reference
    kAbsent,      // absent on the device, and no reference (or not known there)
    kUncompared,  // present on the device, and no reference loaded
};
const char* SectionStateName(SectionState state);  // "same", "different", ...

// Marks of one byte of the working copy, separate so that a view can show
// each in its own way (not by colour alone).
enum ByteMark : uint8_t {
    kMarkNone = 0,
    // differs from the reference's byte, or lies past the end of the
    // reference's section (a section the reference lacks has no byte marks:
    // its state says it)
    kMarkDiffers = 1,
    kMarkEdited = 2,   // differs from the device's byte: not yet written
};

struct SectionRow {
    int number = 0;
    Presence presence = Presence::kNotRead;  // on the device
    uint8_t address[3] = {0, 0, 0};  // the device's; the reference's for kOnlyFile
    size_t length = 0;               // the same way
    uint32_t crc32 = 0;              // SectionCrc of the working copy the same way (0: none)
    SectionState state = SectionState::kNotRead;
};

// A place in the device: a section and a byte in it.
struct Position {
    int section = 0;
    size_t offset = 0;
    bool operator==(const Position& o) const { return section == o.section && offset == o.offset; }
    bool operator<(const Position& o) const {
        return section != o.section ? section < o.section : offset < o.offset;
    }
};

struct DiffSummary {
    int sectionsDiffering = 0;  // kDifferent, kOnlyDevice and kOnlyFile (with a reference)
    size_t bytesDiffering = 0;  // bytes of the working copy marked kMarkDiffers
    int sectionsEdited = 0;
    size_t bytesEdited = 0;     // bytes marked kMarkEdited
};

class Bench {
  public:
    Bench() = default;

    // The device's content: the snapshot and the working copy both become
    // it; edits, undo and redo are dropped.
    void SetDevice(const Snapshot& snapshot);
    const Snapshot& DeviceSnapshot() const { return device_; }

    // The reference; label is what a view shows ("good.qmb", "COM3").
    void SetReference(const Snapshot& reference, const std::string& label);
    void ClearReference();
    bool HasReference() const { return hasReference_; }
    const Snapshot& Reference() const { return reference_; }
    const std::string& ReferenceLabel() const { return referenceLabel_; }

    // The working copy of a section (empty unless present on the device).
    const Bytes& Working(int section) const;
    // The working copy as a snapshot (for saving, patches).
    const Snapshot& WorkingSnapshot() const { return working_; }

    // --- What a view shows
    SectionState State(int section) const;
    SectionRow Row(int section) const;
    // One ByteMark per byte of the working copy of the section.
    std::vector<uint8_t> Marks(int section) const;
    // Every difference from the reference, in order: each byte marked
    // kMarkDiffers, and offset 0 of a section that differs with no byte to
    // mark (only in the reference, or the address alone).
    std::vector<Position> Differences() const;
    // The first difference after / before `from` (F6, Shift+F6), none past
    // the end; from {0, 0} finds the first, from {256, 0} the last.
    std::optional<Position> NextDifference(const Position& from) const;
    std::optional<Position> PreviousDifference(const Position& from) const;
    DiffSummary Summary() const;
    // "3 sections differ, 17 bytes; 1 section edited, 2 bytes", "no
    // differences", "no reference" for the comparison part.
    std::string SummaryText() const;

    // --- Edits: each call one step of undo; false with *error (one line)
    // changes nothing: a section not present on the device, bytes past its
    // end, or text that is not hex.
    bool SetBytes(int section, size_t offset, const Bytes& bytes, std::string* error);
    // Hex typed at offset, by qmb-edit's hex text rules (ParseSectionData:
    // digit pairs, either case, white space between them).
    bool EnterHex(int section, size_t offset, const std::string& text, std::string* error);
    // The reference's bytes for count bytes at offset, a whole section, or
    // everything: only where the reference's section has the same length as
    // the device's (a length can never be written). TakeAll's skipped
    // sections (present on both, other length) go to *skipped. The return:
    // bytes changed (0 is no step of undo).
    bool TakeFromReference(int section, size_t offset, size_t count, std::string* error);
    bool TakeSectionFromReference(int section, std::string* error);
    size_t TakeAllFromReference(std::vector<int>* skipped = nullptr);
    // The section back to the device's content (one step; false when it had
    // no edit).
    bool RevertSection(int section);
    // A patch onto the working copy, one step, after checking every old byte
    // against the device's content (not the edits); refused with the
    // mismatches, changing nothing.
    bool ApplyPatch(const Patch& patch, std::vector<PatchMismatch>* mismatches);

    bool CanUndo() const { return !undo_.empty(); }
    bool CanRedo() const { return !redo_.empty(); }
    // Undoes / redoes one step; the place of its first byte, or none when
    // there was nothing to undo / redo.
    std::optional<Position> Undo();
    std::optional<Position> Redo();

    // --- Patches
    // The edits: the device's content into the working copy.
    Patch EditsPatch() const;
    // The device's content into the reference (what a write of "take
    // everything" would do); sections it cannot express become notes.
    Patch ReferencePatch() const;

    // --- Writing
    // Exactly the sections whose working bytes differ from the device's.
    std::vector<SectionWrite> WritePlan() const;
    // A job for WriteSections: the plan, the device's snapshot, the
    // automatic backup's folder ("" for none) and the port.
    WriteJob MakeWriteJob(const std::string& backupFolder, const std::string& port) const;
    // After WriteSections: the device's snapshot takes the bytes written,
    // so their marks clear; edits made since stay. The rest is unchanged.
    void TakeWritten(const WriteResult& result);

  private:
    struct Change {
        int section;
        size_t offset;
        Bytes before, after;
    };
    using Step = std::vector<Change>;
    bool Editable(int section, std::string* error) const;  // present on the device
    void Apply(const Step& step, bool forward);
    bool Record(Step step);  // applies it; false (and no step) when nothing changes
    const SnapshotSection* ReferenceSection(int section) const;

    Snapshot device_, working_, reference_;
    bool hasReference_ = false;
    std::string referenceLabel_;
    std::vector<Step> undo_, redo_;
};

}  // namespace qmb::device
