// Where a slot's serial numbers come from: a pool of the record store, or,
// on a spooling station, a block of it leased ahead so that boards go on
// through an outage of the line's server.
//
// The rule every value follows (and the loop keeps to it):
//   Reserve   a free value for this station's slot and run; not on a board yet
//   MarkSent  just before the section holding the field is sent: from here
//             on the value may be on a board and is never given out again
//   Return    the board ended before that section was sent: the value goes back
//   the board's record, stored with the value as "used" (passed) or "void"
//             (failed after MarkSent), marks the ledger in the same transaction
// A process killed mid-board leaves its reservations; the next start of the
// same station settles them (sent: void; not sent: free) before any new one,
// after its spooled records are sent: a board that passed with a value keeps
// it used, whatever state its run left it in.
//
// The lease (MakeSerialSource with a SpoolingStore and lease > 0): the
// source keeps up to `lease` values of each pool reserved for the station on
// the server and in the spool's SQLite file, hands them out from there
// (surviving a killed process), refills the block when it falls to half
// while the server answers, and gives the unused ones back when the source
// is closed. During an outage it gives out of the block only; with the
// block empty and no server it throws SerialUnavailable: it never invents a
// number. The boards' records (spooled with their serials) mark the values
// on the server when they are sent; the values of a record the server
// refuses for good (set aside in the spool) end void, at the run's end or
// the next start, since its board may carry them.
//
// Threads: any; one source may serve every slot of a station (each call
// names the slot). Calls may wait for the server (the store's time limits).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "store/RecordStore.h"

namespace qmb::production {

using store::PoolLevel;

// No value can be had: the pool is empty, or there is no lease left and no
// server. what() is one line, fit to stop a slot with.
class SerialUnavailable : public std::runtime_error {
  public:
    explicit SerialUnavailable(const std::string& why) : std::runtime_error(why) {}
};

class SerialSource {
  public:
    virtual ~SerialSource() = default;
    // A value of pool for the board on slot. Throws SerialUnavailable (pool
    // empty; no lease left and no server), StoreError for anything else.
    virtual std::string Reserve(const std::string& pool, const std::string& slot) = 0;
    // The field's section is about to be sent: from here on the value may be
    // on a board. Throws SerialUnavailable when this cannot be noted (the
    // server went away without a lease): the section must not be sent then.
    virtual void MarkSent(const std::string& pool, const std::string& value) = 0;
    // The board ended before the field's section was sent: the value goes
    // back. Never throws: a value that cannot be given back now stays
    // reserved and is settled at the next start.
    virtual void Return(const std::string& pool, const std::string& value) noexcept = 0;
    // True when value is a used value of pool (a reworked board keeps it).
    // Throws SerialUnavailable when no one can tell (no server).
    virtual bool IsUsed(const std::string& pool, const std::string& value) = 0;
    // Free values left (in the pool; in the lease during an outage) and the
    // pool's low-water mark, for the page. Throws SerialUnavailable when
    // neither can be read.
    virtual PoolLevel Level(const std::string& pool) = 0;
    // The run's end: leased values not given out go back to the pool (when
    // the server answers; else at the next start). Idempotent.
    virtual void Close() noexcept = 0;
    // What the start settled of this station's earlier runs.
    virtual store::SettleCounts Settled() const = 0;
};

// A source over store for station's run (run: an id of this process run,
// e.g. store::NewRecordId()). Settles the station's stale reservations
// first (when the store answers). lease > 0 leases blocks when store is a
// store::SpoolingStore; elsewhere it is ignored (values come straight from
// the pool). Throws StoreError when store keeps no pools.
std::unique_ptr<SerialSource> MakeSerialSource(store::RecordStore& store,
                                               const std::string& station,
                                               const std::string& run, int64_t lease = 0);

}  // namespace qmb::production
