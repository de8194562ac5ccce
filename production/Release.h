// Release control: a production line runs only a recipe whose identity was
// released for its product, and stops at the release's quota of passed
// boards, counted across every station of the record database.
//
// Threads: CheckRelease on any thread; a QuotaGate is shared by the slots.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "production/Production.h"
#include "store/RecordStore.h"

namespace qmb::production {

// The release of identity for product in store: set when it is released and
// not revoked. Otherwise why is the one-line reason to refuse the run, naming
// the identity computed and those released for the product. Throws
// StoreError when the store cannot be asked.
std::optional<store::Release> FindRelease(store::RecordStore& store, const std::string& product,
                                          const std::string& identity, std::string& why);

// Lets a board through while the release's passed boards, across every
// station, plus the boards under way on this station stay below the quota.
// The count is asked of the store before each board; while the store does
// not answer (an outage), the last count it gave plus this station's passes
// since stands in for it, and it is asked again at most every 30 s. Boards
// under way on other stations are not seen: each station may finish the
// boards it had started when the quota was reached.
class QuotaGate : public BoardGate {
  public:
    // store outlives the gate; calls to it are made with no lock held.
    QuotaGate(store::RecordStore& store, std::string identity, int64_t quota);
    std::string Enter() override;
    void Leave(bool passed) override;

  private:
    store::RecordStore& store_;
    const std::string identity_;
    const int64_t quota_;
    std::mutex mutex_;
    int64_t counted_ = 0;     // passed boards the store counted last
    int64_t passedSince_ = 0; // this station's passes since that count
    int64_t underWay_ = 0;
    bool failing_ = false;
    std::chrono::steady_clock::time_point lastTry_{};
};

}  // namespace qmb::production
