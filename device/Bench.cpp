#include "device/Bench.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/UserFolders.h"
#include "platform/Utf8.h"
#include "protocol/HexBytes.h"

namespace qmb::device {

namespace {
void CheckNumber(int number) {
    if (number < kFirstSection || number > kLastSection)
        throw std::out_of_range("section " + std::to_string(number) + " is not 1 to 255");
}

std::string Plural(size_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

bool SameAddress(const SnapshotSection& a, const SnapshotSection& b) {
    return std::equal(a.address, a.address + 3, b.address);
}

bool IsPresent(const SnapshotSection& s) {
    return s.presence == Presence::kPresent;
}
}  // namespace

// ---------------------------------------------------------------------------
// Snapshot

const SnapshotSection& Snapshot::At(int number) const {
    CheckNumber(number);
    return sections_[number - 1];
}

SnapshotSection& Snapshot::Slot(int number) {
    CheckNumber(number);
    return sections_[number - 1];
}

void Snapshot::SetPresent(int number, const uint8_t address[3], const Bytes& bytes) {
    if (bytes.empty() || bytes.size() > 255)
        throw std::invalid_argument("a present section holds 1 to 255 bytes");
    SnapshotSection& s = Slot(number);
    s.presence = Presence::kPresent;
    std::copy(address, address + 3, s.address);
    s.bytes = bytes;
}

void Snapshot::SetAbsent(int number) {
    Slot(number) = SnapshotSection{};
    Slot(number).presence = Presence::kAbsent;
}

void Snapshot::SetNotRead(int number) {
    Slot(number) = SnapshotSection{};
}

void Snapshot::SetBytes(int number, const Bytes& bytes) {
    const SnapshotSection& s = Slot(number);
    const uint8_t address[3] = {s.address[0], s.address[1], s.address[2]};
    SetPresent(number, address, bytes);
}

bool Snapshot::Complete() const {
    return std::none_of(sections_.begin(), sections_.end(),
                        [](const SnapshotSection& s) { return s.presence == Presence::kNotRead; });
}

int Snapshot::PresentCount() const {
    return static_cast<int>(std::count_if(sections_.begin(), sections_.end(),
                                          [](const SnapshotSection& s) { return IsPresent(s); }));
}

size_t Snapshot::PresentBytes() const {
    size_t n = 0;
    for (const auto& s : sections_)
        n += s.bytes.size();
    return n;
}

Snapshot Snapshot::FromBackup(const Backup& backup) {
    Snapshot snapshot;
    for (const auto& s : backup.sections)
        snapshot.SetPresent(s.number, s.address, s.bytes);
    if (backup.absentKnown) {
        for (int n : backup.absent)
            snapshot.SetAbsent(n);
    }
    return snapshot;
}

Backup Snapshot::ToBackup(const std::string& tool, const std::string& time,
                          const std::string& port) const {
    Backup b;
    b.tool = tool;
    b.time = time;
    b.port = port;
    b.absentKnown = true;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        const SnapshotSection& s = At(n);
        if (s.presence == Presence::kAbsent) b.absent.push_back(n);
        if (!IsPresent(s)) continue;
        BackupSection section;
        section.number = n;
        std::copy(s.address, s.address + 3, section.address);
        section.bytes = s.bytes;
        b.sections.push_back(std::move(section));
    }
    return b;
}

// ---------------------------------------------------------------------------
// Reading the whole device

namespace {
Failure FailureOf(const DeviceFault& e, int section) {
    return {e.Kind(), e.Section() ? e.Section() : section, e.what()};
}
}  // namespace

ReadResult ReadAll(Device& device, const ReadProgressFn& progress) {
    ReadResult result;
    ReadProgress p;
    try {
        for (int n = kFirstSection; n <= kLastSection; ++n) {
            p.done = n - 1;
            p.section = n;
            if (progress) progress(p);
            const SectionInfo info = device.Info(n);
            if (info.length == 0) {
                result.snapshot.SetAbsent(n);
                continue;
            }
            result.snapshot.SetPresent(n, info.address, device.ReadMemory(n, info));
        }
    } catch (const DeviceFault& e) {
        result.failure = FailureOf(e, p.section);
        return result;
    }
    p.done = p.total;
    p.section = 0;
    if (progress) progress(p);
    return result;
}

// ---------------------------------------------------------------------------
// Backup files

bool LoadBackupFile(const std::string& path, Snapshot& snapshot, std::string* error) {
    std::string text, why;
    if (!ReadWholeFile(path, text, &why)) return Fail(error, "cannot read " + why);
    Backup backup;
    if (!ParseBackup(text, backup, &why)) return Fail(error, path + ": " + why);
    snapshot = Snapshot::FromBackup(backup);
    return true;
}

namespace {
bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(PathFromUtf8(path), ec);
}
}  // namespace

bool SaveBackupFile(const std::string& path, const Snapshot& snapshot, const std::string& port,
                    bool replace, std::string* error) {
    if (!replace && Exists(path))
        return Fail(error, path + " exists; a backup is never replaced");
    const Backup backup = snapshot.ToBackup("qmb-device", UtcNow(), port);
    return WriteFileAtomically(path, FormatBackup(backup), true, error);
}

std::string AutomaticBackupFolder() {
    const std::string data = platform::DataFolder();
    return data.empty() ? "" : platform::InFolder(data, "backups");
}

std::string AutomaticBackupPath(const std::string& folder, const std::string& utcTime,
                                const std::string& port) {
    std::string name = port.substr(port.find_last_of("/\\") == std::string::npos
                                       ? 0
                                       : port.find_last_of("/\\") + 1);
    for (char& c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!keep) c = '_';
    }
    if (name.empty()) name = "port";
    std::string time = utcTime;
    std::replace(time.begin(), time.end(), ':', '-');
    const std::string stem = platform::InFolder(folder, time + "_" + name);
    std::string path = stem + ".qmb";
    for (int n = 2; Exists(path); ++n)
        path = stem + "-" + std::to_string(n) + ".qmb";
    return path;
}

// ---------------------------------------------------------------------------
// Writing the plan

namespace {

// How far a section's write went when it failed.
enum class Stage { kQuery, kWrite, kCommit, kReadBack };

struct Writer {
    Device& device;
    const WriteJob& job;
    const WriteProgressFn& progress;
    WriteResult result;
    WriteProgress p;

    bool Cancelled() {
        if (!job.cancel || !job.cancel->load()) return false;
        result.failure = {Fault::kInterrupted, 0,
                          "cancelled; " + Plural(result.written.size(), "section") + " written"};
        return true;
    }

    void Report(int section) {
        p.section = section;
        if (progress) progress(p);
    }

    void Mismatch(int section, const std::string& what) {
        result.failure = {Fault::kMismatch, section, what};
    }

    // Each planned section still as `before` says: layout, then bytes.
    bool CheckDevice() {
        for (const SectionWrite& s : job.plan) {
            if (Cancelled()) return false;
            const SnapshotSection& was = job.before.At(s.section);
            const SectionInfo info = device.Info(s.section);
            const std::string where = "section " + std::to_string(s.section);
            if (!IsPresent(was) || info.length != was.bytes.size() ||
                !std::equal(info.address, info.address + 3, was.address)) {
                result.mismatches.push_back(where + ": its address or length is not as read");
                continue;
            }
            for (const auto& d : CompareBytes(was.bytes, device.ReadMemory(s.section, info)))
                result.mismatches.push_back(where + " offset " + std::to_string(d.offset) +
                                            ": read as " + HexPairs(&d.expected, 1) +
                                            ", the device now holds " + HexPairs(&d.actual, 1));
        }
        if (result.mismatches.empty()) return true;
        Mismatch(0, "the device no longer holds what was read (" +
                        Plural(result.mismatches.size(), "difference") +
                        "); nothing was written: read it again");
        return false;
    }

    bool Backup() {
        if (job.backupFolder.empty()) return true;
        if (Cancelled()) return false;
        Report(0);
        const std::string path = AutomaticBackupPath(
            job.backupFolder, job.time.empty() ? UtcNow() : job.time, job.port);
        std::string error;
        if (!SaveBackupFile(path, job.before, job.port, false, &error)) {
            result.failure = {Fault::kFile, 0,
                              "the automatic backup could not be written, nothing was: " + error};
            return false;
        }
        result.backupPath = path;
        return true;
    }

    // One section: false when it failed (result.failure says how).
    bool WriteOne(const SectionWrite& s, Stage& stage) {
        stage = Stage::kQuery;
        const SectionInfo info = device.WriteTarget(s.section, s.bytes.size());
        stage = Stage::kWrite;
        device.WriteMemory(s.section, info, s.bytes);
        stage = Stage::kCommit;
        device.Commit(s.section);
        stage = Stage::kReadBack;
        const auto diffs = CompareBytes(s.bytes, device.ReadMemory(s.section, info));
        for (const auto& d : diffs)
            result.mismatches.push_back("section " + std::to_string(s.section) + " offset " +
                                        std::to_string(d.offset) + ": written " +
                                        HexPairs(&d.expected, 1) + ", read back " +
                                        HexPairs(&d.actual, 1));
        if (diffs.empty()) return true;
        Mismatch(s.section, "verify failed: " + std::to_string(diffs.size()) + " of " +
                                std::to_string(s.bytes.size()) + " bytes of section " +
                                std::to_string(s.section) + " differ after writing");
        return false;
    }

    void Run() {
        for (const auto& s : job.plan)
            result.notWritten.push_back(s.section);
        p.total = job.plan.size();
        if (job.plan.empty()) return;  // nothing to write: no backup either
        Stage stage = Stage::kQuery;
        int current = 0;
        try {
            if (job.checkDevice && !CheckDevice()) return;
            if (!Backup()) return;
            for (const SectionWrite& s : job.plan) {
                if (Cancelled()) return;
                current = s.section;
                Report(s.section);
                const bool ok = WriteOne(s, stage);
                // Once its commit went out, a section is no longer "not written".
                result.notWritten.erase(result.notWritten.begin());
                if (!ok) return;
                result.written.push_back(s);
                ++p.done;
            }
        } catch (const DeviceFault& e) {
            result.failure = FailureOf(e, current);
            if (stage == Stage::kCommit && device.CommitUncertain()) {
                result.uncertain = true;
                result.notWritten.erase(result.notWritten.begin());
            } else if (stage == Stage::kReadBack) {
                result.notWritten.erase(result.notWritten.begin());
                result.uncertain = true;  // committed, not verified
            }
            return;
        }
        Report(0);
    }
};

}  // namespace

WriteResult WriteSections(Device& device, const WriteJob& job, const WriteProgressFn& progress) {
    Writer writer{device, job, progress, {}, {}};
    writer.Run();
    return std::move(writer.result);
}

// ---------------------------------------------------------------------------
// Patches against a snapshot

std::vector<PatchMismatch> CheckPatch(const Patch& patch, const Snapshot& holds,
                                      const char* holderName) {
    std::vector<PatchMismatch> out;
    const std::string holder = holderName;
    int refused = 0;  // a section reported whole, once
    for (const PatchChange& c : patch.changes) {
        if (c.section == refused) continue;
        const SnapshotSection& s = holds.At(c.section);
        const std::string where = "section " + std::to_string(c.section);
        if (!IsPresent(s) || c.offset + c.oldBytes.size() > s.bytes.size()) {
            refused = c.section;
            const std::string why =
                s.presence == Presence::kAbsent    ? "absent (length 0) on " + holder
                : s.presence == Presence::kNotRead ? "not known (not read) on " + holder
                                                   : "only " + std::to_string(s.bytes.size()) +
                                                         " bytes long on " + holder;
            out.push_back({c.section, c.offset,
                           where + ": the patch changes offsets " + std::to_string(c.offset) +
                               " and on, but the section is " + why});
            continue;
        }
        for (size_t i = 0; i < c.oldBytes.size(); ++i) {
            const uint8_t there = s.bytes[c.offset + i];
            if (there != c.oldBytes[i])
                out.push_back({c.section, c.offset + i,
                               where + " offset " + std::to_string(c.offset + i) +
                                   ": the patch says " + HexPairs(&c.oldBytes[i], 1) + ", " +
                                   holder + " holds " + HexPairs(&there, 1)});
        }
    }
    return out;
}

Snapshot ApplyPatch(const Patch& patch, const Snapshot& holds) {
    Snapshot out = holds;
    for (const PatchChange& c : patch.changes) {
        const SnapshotSection& s = out.At(c.section);
        if (!IsPresent(s) || c.offset + c.newBytes.size() > s.bytes.size()) continue;
        Bytes bytes = s.bytes;
        std::copy(c.newBytes.begin(), c.newBytes.end(), bytes.begin() + c.offset);
        out.SetBytes(c.section, bytes);
    }
    return out;
}

Patch DiffSnapshots(const Snapshot& from, const Snapshot& to, std::vector<int>* inexpressible) {
    Patch patch;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        const SnapshotSection& a = from.At(n);
        const SnapshotSection& b = to.At(n);
        if (a.presence == Presence::kNotRead || b.presence == Presence::kNotRead) continue;
        if (!IsPresent(a) && !IsPresent(b)) continue;
        const std::string where = "section " + std::to_string(n) + ": ";
        std::string note;
        if (!IsPresent(a) || !IsPresent(b)) {
            note = where + (IsPresent(a) ? "present in the first, absent in the second"
                                       : "absent in the first, present in the second") +
                   " (not in the patch)";
        } else if (a.bytes.size() != b.bytes.size()) {
            note = where + "length " + std::to_string(a.bytes.size()) + " against " +
                   std::to_string(b.bytes.size()) + " (not in the patch)";
        } else {
            if (!SameAddress(a, b))
                note = where + "address " + HexPairs(a.address, 3) + " against " +
                       HexPairs(b.address, 3) + " (a patch holds bytes only)";
            AppendSectionChanges(n, a.bytes, b.bytes, patch);
        }
        if (note.empty()) continue;
        patch.notes.push_back(note);
        if (inexpressible) inexpressible->push_back(n);
    }
    return patch;
}

std::vector<SectionWrite> PlanWrites(const Snapshot& device, const Snapshot& target) {
    std::vector<SectionWrite> plan;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        const SnapshotSection& d = device.At(n);
        const SnapshotSection& t = target.At(n);
        if (!IsPresent(d) || !IsPresent(t) || d.bytes.size() != t.bytes.size()) continue;
        const size_t changed = CompareBytes(d.bytes, t.bytes).size();
        if (changed > 0) plan.push_back({n, t.bytes, changed});
    }
    return plan;
}

// ---------------------------------------------------------------------------
// The bench

const char* SectionStateName(SectionState state) {
    switch (state) {
        case SectionState::kNotRead: return "not read";
        case SectionState::kEdited: return "edited";
        case SectionState::kSame: return "same";
        case SectionState::kDifferent: return "different";
        case SectionState::kOnlyDevice: return "only on the device";
        case SectionState::kOnlyFile: return "only in the file";
        case SectionState::kAbsent: return "absent";
        case SectionState::kUncompared: return "read";
    }
    return "?";
}

void Bench::SetDevice(const Snapshot& snapshot) {
    device_ = snapshot;
    working_ = snapshot;
    undo_.clear();
    redo_.clear();
}

void Bench::SetReference(const Snapshot& reference, const std::string& label) {
    reference_ = reference;
    referenceLabel_ = label;
    hasReference_ = true;
}

void Bench::ClearReference() {
    reference_ = Snapshot{};
    referenceLabel_.clear();
    hasReference_ = false;
}

const Bytes& Bench::Working(int section) const {
    return working_.At(section).bytes;
}

const SnapshotSection* Bench::ReferenceSection(int section) const {
    if (!hasReference_) return nullptr;
    const SnapshotSection& r = reference_.At(section);
    return r.presence == Presence::kNotRead ? nullptr : &r;
}

namespace {
// The working copy's section against the reference's (nullptr: none, or not
// known there); the state ignoring edits.
SectionState Compare(const SnapshotSection& w, const SnapshotSection* r, bool hasReference) {
    if (!r) {
        if (!IsPresent(w)) return SectionState::kAbsent;
        return hasReference ? SectionState::kOnlyDevice : SectionState::kUncompared;
    }
    if (!IsPresent(w)) return IsPresent(*r) ? SectionState::kOnlyFile : SectionState::kSame;
    if (!IsPresent(*r)) return SectionState::kOnlyDevice;
    return w.bytes == r->bytes && SameAddress(w, *r) ? SectionState::kSame
                                                     : SectionState::kDifferent;
}

bool Differing(SectionState s) {
    return s == SectionState::kDifferent || s == SectionState::kOnlyDevice ||
           s == SectionState::kOnlyFile;
}
}  // namespace

SectionState Bench::State(int section) const {
    const SnapshotSection& d = device_.At(section);
    if (d.presence == Presence::kNotRead) return SectionState::kNotRead;
    if (working_.At(section).bytes != d.bytes) return SectionState::kEdited;
    return Compare(working_.At(section), ReferenceSection(section), hasReference_);
}

SectionRow Bench::Row(int section) const {
    SectionRow row;
    row.number = section;
    row.state = State(section);
    const SnapshotSection& w = working_.At(section);
    row.presence = w.presence;
    const SnapshotSection* shown = &w;
    const SnapshotSection* r = ReferenceSection(section);
    if (!IsPresent(w) && r && IsPresent(*r)) shown = r;
    std::copy(shown->address, shown->address + 3, row.address);
    row.length = shown->bytes.size();
    if (IsPresent(*shown)) {
        BackupSection b;
        b.number = section;
        std::copy(shown->address, shown->address + 3, b.address);
        b.bytes = shown->bytes;
        row.crc32 = SectionCrc(b);
    }
    return row;
}

std::vector<uint8_t> Bench::Marks(int section) const {
    const Bytes& w = working_.At(section).bytes;
    const Bytes& d = device_.At(section).bytes;
    const SnapshotSection* r = ReferenceSection(section);
    const Bytes* ref = r && IsPresent(*r) ? &r->bytes : nullptr;
    std::vector<uint8_t> marks(w.size(), kMarkNone);
    for (size_t i = 0; i < w.size(); ++i) {
        if (i >= d.size() || w[i] != d[i]) marks[i] |= kMarkEdited;
        if (ref && (i >= ref->size() || w[i] != (*ref)[i])) marks[i] |= kMarkDiffers;
    }
    return marks;
}

std::vector<Position> Bench::Differences() const {
    std::vector<Position> out;
    if (!hasReference_) return out;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        const size_t before = out.size();
        const std::vector<uint8_t> marks = Marks(n);
        for (size_t i = 0; i < marks.size(); ++i) {
            if (marks[i] & kMarkDiffers) out.push_back({n, i});
        }
        if (out.size() == before && device_.At(n).presence != Presence::kNotRead &&
            Differing(Compare(working_.At(n), ReferenceSection(n), true)))
            out.push_back({n, 0});
    }
    return out;
}

std::optional<Position> Bench::NextDifference(const Position& from) const {
    for (const Position& p : Differences()) {
        if (from < p) return p;
    }
    return std::nullopt;
}

std::optional<Position> Bench::PreviousDifference(const Position& from) const {
    const std::vector<Position> all = Differences();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (*it < from) return *it;
    }
    return std::nullopt;
}

DiffSummary Bench::Summary() const {
    DiffSummary s;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        if (device_.At(n).presence == Presence::kNotRead) continue;
        if (hasReference_ && Differing(Compare(working_.At(n), ReferenceSection(n), true)))
            ++s.sectionsDiffering;
        bool edited = false;
        for (uint8_t m : Marks(n)) {
            if (m & kMarkDiffers) ++s.bytesDiffering;
            if (m & kMarkEdited) {
                ++s.bytesEdited;
                edited = true;
            }
        }
        if (edited) ++s.sectionsEdited;
    }
    return s;
}

std::string Bench::SummaryText() const {
    const DiffSummary s = Summary();
    std::string text;
    if (!hasReference_) {
        text = "no reference";
    } else if (s.sectionsDiffering == 0) {
        text = "no differences";
    } else {
        text = Plural(s.sectionsDiffering, "section") +
               (s.sectionsDiffering == 1 ? " differs, " : " differ, ") +
               Plural(s.bytesDiffering, "byte");
    }
    if (s.sectionsEdited > 0)
        text += "; " + Plural(s.sectionsEdited, "section") + " edited, " +
                Plural(s.bytesEdited, "byte");
    return text;
}

// --- Edits

bool Bench::Editable(int section, std::string* error) const {
    const SnapshotSection& d = device_.At(section);
    if (IsPresent(d)) return true;
    return Fail(error, "section " + std::to_string(section) +
                           (d.presence == Presence::kAbsent ? " is absent (length 0) on the device"
                                                            : " has not been read"));
}

void Bench::Apply(const Step& step, bool forward) {
    for (const Change& c : step) {
        Bytes bytes = working_.At(c.section).bytes;
        const Bytes& put = forward ? c.after : c.before;
        std::copy(put.begin(), put.end(), bytes.begin() + c.offset);
        working_.SetBytes(c.section, bytes);
    }
}

bool Bench::Record(Step step) {
    step.erase(std::remove_if(step.begin(), step.end(),
                              [](const Change& c) { return c.before == c.after; }),
               step.end());
    if (step.empty()) return false;
    Apply(step, true);
    undo_.push_back(std::move(step));
    redo_.clear();
    return true;
}

bool Bench::SetBytes(int section, size_t offset, const Bytes& bytes, std::string* error) {
    if (!Editable(section, error)) return false;
    const Bytes& w = working_.At(section).bytes;
    if (offset > w.size() || bytes.size() > w.size() - offset)
        return Fail(error, "section " + std::to_string(section) + " holds " +
                               Plural(w.size(), "byte") + "; " + Plural(bytes.size(), "byte") +
                               " at offset " + std::to_string(offset) + " run past its end");
    Record({{section, offset, Bytes(w.begin() + offset, w.begin() + offset + bytes.size()), bytes}});
    return true;
}

bool Bench::EnterHex(int section, size_t offset, const std::string& text, std::string* error) {
    Bytes bytes;
    if (!ParseSectionData(text, false, bytes, error)) return false;
    return SetBytes(section, offset, bytes, error);
}

bool Bench::TakeFromReference(int section, size_t offset, size_t count, std::string* error) {
    if (!Editable(section, error)) return false;
    const SnapshotSection* r = ReferenceSection(section);
    const Bytes& w = working_.At(section).bytes;
    if (!r || !IsPresent(*r))
        return Fail(error, "the reference holds no section " + std::to_string(section));
    if (r->bytes.size() != w.size())
        return Fail(error, "section " + std::to_string(section) + " is " +
                               Plural(r->bytes.size(), "byte") + " long in the reference and " +
                               std::to_string(w.size()) +
                               " on the device (a length can never be written)");
    if (offset > w.size() || count > w.size() - offset)
        return Fail(error, "offset " + std::to_string(offset) + " and " +
                               Plural(count, "byte") + " run past the end of section " +
                               std::to_string(section));
    return SetBytes(section, offset,
                    Bytes(r->bytes.begin() + offset, r->bytes.begin() + offset + count), error);
}

bool Bench::TakeSectionFromReference(int section, std::string* error) {
    return TakeFromReference(section, 0, working_.At(section).bytes.size(), error);
}

size_t Bench::TakeAllFromReference(std::vector<int>* skipped) {
    Step step;
    size_t changed = 0;
    for (int n = kFirstSection; n <= kLastSection; ++n) {
        const SnapshotSection& w = working_.At(n);
        const SnapshotSection* r = ReferenceSection(n);
        if (!IsPresent(w) || !r || !IsPresent(*r)) continue;
        if (r->bytes.size() != w.bytes.size()) {
            if (skipped) skipped->push_back(n);
            continue;
        }
        changed += CompareBytes(w.bytes, r->bytes).size();
        step.push_back({n, 0, w.bytes, r->bytes});
    }
    Record(std::move(step));
    return changed;
}

bool Bench::RevertSection(int section) {
    const SnapshotSection& d = device_.At(section);
    if (!IsPresent(d)) return false;
    return Record({{section, 0, working_.At(section).bytes, d.bytes}});
}

bool Bench::ApplyPatch(const Patch& patch, std::vector<PatchMismatch>* mismatches) {
    std::vector<PatchMismatch> found = CheckPatch(patch, device_);
    if (!found.empty()) {
        if (mismatches) *mismatches = std::move(found);
        return false;
    }
    Step step;
    for (const PatchChange& c : patch.changes) {
        const Bytes& w = working_.At(c.section).bytes;
        step.push_back({c.section, c.offset,
                        Bytes(w.begin() + c.offset, w.begin() + c.offset + c.newBytes.size()),
                        c.newBytes});
    }
    Record(std::move(step));
    return true;
}

std::optional<Position> Bench::Undo() {
    if (undo_.empty()) return std::nullopt;
    Step step = std::move(undo_.back());
    undo_.pop_back();
    Apply(Step(step.rbegin(), step.rend()), false);
    const Position at{step.front().section, step.front().offset};
    redo_.push_back(std::move(step));
    return at;
}

std::optional<Position> Bench::Redo() {
    if (redo_.empty()) return std::nullopt;
    Step step = std::move(redo_.back());
    redo_.pop_back();
    Apply(step, true);
    const Position at{step.front().section, step.front().offset};
    undo_.push_back(std::move(step));
    return at;
}

// --- Patches and writing

Patch Bench::EditsPatch() const {
    return DiffSnapshots(device_, working_);
}

Patch Bench::ReferencePatch() const {
    return DiffSnapshots(device_, reference_);
}

std::vector<SectionWrite> Bench::WritePlan() const {
    return PlanWrites(device_, working_);
}

WriteJob Bench::MakeWriteJob(const std::string& backupFolder, const std::string& port) const {
    WriteJob job;
    job.plan = WritePlan();
    job.before = device_;
    job.backupFolder = backupFolder;
    job.port = port;
    return job;
}

void Bench::TakeWritten(const WriteResult& result) {
    for (const SectionWrite& s : result.written) {
        if (IsPresent(device_.At(s.section)) &&
            device_.At(s.section).bytes.size() == s.bytes.size())
            device_.SetBytes(s.section, s.bytes);
    }
}

}  // namespace qmb::device
