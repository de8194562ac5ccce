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

}  // namespace

std::unique_ptr<SerialSource> MakeSerialSource(store::RecordStore& store, const std::string& station,
                                               const std::string& run, int64_t lease) {
    (void)lease;
    return std::make_unique<PoolSource>(store, station, run);
}

}  // namespace qmb::production
