#include "production/SerialSource.h"

#include <map>
#include <mutex>

#include "store/SpoolingStore.h"

namespace qmb::production {

namespace {

using store::SerialHolder;
using store::StoreError;

bool IsUnreachable(const StoreError& e) { return e.kind() == StoreError::Kind::kUnreachable; }

// Values straight from the store's pool, one per board.
class PoolSource : public SerialSource {
  public:
    PoolSource(store::RecordStore& store, std::string station, std::string run)
        : store_(store), station_(std::move(station)), run_(std::move(run)) {
        try {
            settled_ = store_.SettleStale(station_, run_);
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            // Settled at a later start; this run's reservations are apart.
        }
    }

    std::string Reserve(const std::string& pool, const std::string& slot) override {
        std::vector<std::string> got;
        try {
            got = store_.Reserve(pool, {station_, slot, run_}, 1);
        } catch (const StoreError& e) {
            if (IsUnreachable(e))
                throw SerialUnavailable("pool " + pool + ": no serial number: the database does not "
                                        "answer and this station holds no lease (" + e.what() + ")");
            throw;
        }
        if (got.empty()) throw SerialUnavailable("pool " + pool + " is empty: no serial number left");
        std::lock_guard<std::mutex> hold(lock_);
        slots_[{pool, got[0]}] = slot;
        return got[0];
    }

    void MarkSent(const std::string& pool, const std::string& value) override {
        bool marked = false;
        try {
            marked = store_.MarkSerialSent(pool, value, Holder(pool, value));
        } catch (const StoreError& e) {
            if (IsUnreachable(e))
                throw SerialUnavailable("pool " + pool + ": value " + value +
                                        " cannot be noted as sent: the database does not answer (" +
                                        e.what() + ")");
            throw;
        }
        if (!marked)
            throw SerialUnavailable("pool " + pool + ": value " + value +
                                    " is no longer reserved for this station");
    }

    void Return(const std::string& pool, const std::string& value) noexcept override {
        try {
            store_.ReturnSerials(pool, {value}, Holder(pool, value));
        } catch (...) {
            // Stays reserved by this run: the next start frees it.
        }
        std::lock_guard<std::mutex> hold(lock_);
        slots_.erase({pool, value});
    }

    bool IsUsed(const std::string& pool, const std::string& value) override {
        try {
            return store_.SerialState(pool, value) == "used";
        } catch (const StoreError& e) {
            if (IsUnreachable(e))
                throw SerialUnavailable("pool " + pool + ": cannot tell whether " + value +
                                        " is in use: the database does not answer");
            throw;
        }
    }

    PoolLevel Level(const std::string& pool) override {
        try {
            return store_.ShowPool(pool);
        } catch (const StoreError& e) {
            if (IsUnreachable(e))
                throw SerialUnavailable("pool " + pool + ": the database does not answer");
            throw;
        }
    }

    void Close() noexcept override {}
    store::SettleCounts Settled() const override { return settled_; }

  private:
    SerialHolder Holder(const std::string& pool, const std::string& value) {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = slots_.find({pool, value});
        return {station_, it == slots_.end() ? std::string() : it->second, run_};
    }

    store::RecordStore& store_;
    std::string station_, run_;
    store::SettleCounts settled_;
    std::mutex lock_;
    std::map<std::pair<std::string, std::string>, std::string> slots_;  // (pool, value) -> slot
};

// Values out of a block leased ahead into the spool's file (SerialSource.h).
class LeaseSource : public SerialSource {
  public:
    LeaseSource(store::SpoolingStore& spool, std::string station, std::string run, int64_t lease)
        : spool_(spool), local_(spool.Local()), station_(std::move(station)), run_(std::move(run)),
          lease_(lease) {
        // What a killed run left: not sent back to free, sent to void.
        local_.SettleLease();
        try {
            Reconcile();
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            // An outage: the block left in the file serves until the server is back.
        }
    }
    ~LeaseSource() override { Close(); }

    std::string Reserve(const std::string& pool, const std::string& slot) override {
        bool serverAnswered = Refill(pool);
        if (auto value = local_.TakeLease(pool, slot)) return *value;
        if (!serverAnswered) serverAnswered = Refill(pool, true);
        if (auto value = local_.TakeLease(pool, slot)) return *value;
        if (serverAnswered) throw SerialUnavailable("pool " + pool + " is empty: no serial number left");
        throw SerialUnavailable("pool " + pool +
                                ": no serial number: no lease left and the database does not answer");
    }

    void MarkSent(const std::string& pool, const std::string& value) override {
        if (!local_.LeaseSent(pool, value))
            throw SerialUnavailable("pool " + pool + ": value " + value + " is not reserved in this lease");
    }

    void Return(const std::string& pool, const std::string& value) noexcept override {
        try {
            local_.LeaseBack(pool, value);
        } catch (...) {
            // Stays reserved in the file: the next start frees it.
        }
    }

    bool IsUsed(const std::string& pool, const std::string& value) override {
        try {
            return spool_.SerialState(pool, value) == "used";
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
        }
        if (local_.UsedHere(pool, value)) return true;
        throw SerialUnavailable("pool " + pool + ": cannot tell whether " + value +
                                " is in use: the database does not answer");
    }

    PoolLevel Level(const std::string& pool) override {
        try {
            PoolLevel level = spool_.ShowPool(pool);
            std::lock_guard<std::mutex> hold(lock_);
            lowWater_[pool] = level.lowWater;
            return level;
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
        }
        // During the outage: what the lease still holds.
        PoolLevel level;
        level.pool = pool;
        level.free = local_.LeaseFree(pool);
        std::lock_guard<std::mutex> hold(lock_);
        level.lowWater = lowWater_.count(pool) ? lowWater_[pool] : 0;
        return level;
    }

    void Close() noexcept override {
        try {
            for (const auto& row : local_.LeaseRows()) {
                if (row.state != "free") continue;
                spool_.ReturnSerials(row.pool, {row.value}, {station_, "", row.run});
                local_.DropLease(row.pool, row.value);
            }
            // Those of records the server refused: their boards may carry them.
            spool_.VoidLeased(station_);
        } catch (...) {
            // The server is away: the next start gives them back (or voids them).
        }
    }

    store::SettleCounts Settled() const override { return settled_; }

  private:
    // The free values a killed run left go back; then the spool settles
    // the rest: its records first (their serials mark the server's ledger),
    // the lease's void values voided, the station's other stale
    // reservations on the server.
    void Reconcile() {
        for (const auto& row : local_.LeaseRows()) {
            if (row.state == "free" && row.run != run_) {
                settled_.freed += spool_.ReturnSerials(row.pool, {row.value}, {station_, "", row.run});
                local_.DropLease(row.pool, row.value);
            }
        }
        const store::SettleCounts more = spool_.SettleStale(station_, run_);
        settled_.freed += more.freed;
        settled_.voided += more.voided;
    }

    // Tops the block up when it is at half or below (or, with force, when
    // it is empty). True when the server answered.
    bool Refill(const std::string& pool, bool force = false) {
        const int64_t free = local_.LeaseFree(pool);
        if (!force && free > lease_ / 2) return false;
        std::lock_guard<std::mutex> hold(refill_);
        try {
            const auto got = spool_.Reserve(pool, {station_, "", run_}, lease_ - local_.LeaseFree(pool));
            local_.AddLease(pool, got, run_);
            return true;
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            return false;
        }
    }

    store::SpoolingStore& spool_;
    store::SqliteStore& local_;
    std::string station_, run_;
    int64_t lease_;
    store::SettleCounts settled_;
    std::mutex lock_, refill_;
    std::map<std::string, int64_t> lowWater_;
};

}  // namespace

std::unique_ptr<SerialSource> MakeSerialSource(store::RecordStore& store, const std::string& station,
                                               const std::string& run, int64_t lease) {
    if (lease > 0)
        if (auto* spool = dynamic_cast<store::SpoolingStore*>(&store))
            return std::make_unique<LeaseSource>(*spool, station, run, lease);
    return std::make_unique<PoolSource>(store, station, run);
}

}  // namespace qmb::production
