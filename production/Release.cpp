#include "production/Release.h"

#include "store/StoreError.h"

namespace qmb::production {

std::optional<store::Release> FindRelease(store::RecordStore& store, const std::string& product,
                                          const std::string& identity, std::string& why) {
    std::string released;
    for (const auto& r : store.Releases(product)) {
        if (r.revoked_at) continue;
        if (r.identity == identity) return r;
        released += (released.empty() ? "" : ", ") + r.identity;
    }
    why = "recipe " + identity + " is not released for " + product + " (released: " +
          (released.empty() ? "none" : released) +
          "); release it with qmb-cli recipe release, or run with --mode engineering";
    return std::nullopt;
}

QuotaGate::QuotaGate(store::RecordStore& store, std::string identity, int64_t quota)
    : store_(store), identity_(std::move(identity)), quota_(quota) {}

std::string QuotaGate::Enter() {
    const auto now = std::chrono::steady_clock::now();
    bool ask = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ask = !failing_ || now - lastTry_ >= std::chrono::seconds(30);
        if (ask) lastTry_ = now;
    }
    std::optional<int64_t> counted;
    if (ask) {
        try {
            counted = store_.PassedBoards(identity_);
        } catch (const store::StoreError&) {
            // An outage: the last count and this station's passes stand in.
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (ask) failing_ = !counted;
    if (counted) {
        // The store may not hold this station's spooled passes yet.
        if (*counted >= counted_ + passedSince_) passedSince_ = 0;
        else passedSince_ = counted_ + passedSince_ - *counted;
        counted_ = *counted;
    }
    const int64_t passed = counted_ + passedSince_;
    if (passed + underWay_ >= quota_)
        return "the release's quota of " + std::to_string(quota_) + " boards is reached (" +
               std::to_string(passed) + " passed, " + std::to_string(underWay_) +
               " under way on this station)";
    ++underWay_;
    return "";
}

void QuotaGate::Leave(bool passed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (underWay_ > 0) --underWay_;
    if (passed) ++passedSince_;
}

}  // namespace qmb::production
