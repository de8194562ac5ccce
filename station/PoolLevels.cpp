#include "station/PoolLevels.h"

#include "store/StoreError.h"

namespace qmb::station {

using nlohmann::json;

PoolLevels::PoolLevels(production::SerialSource* source, std::vector<std::string> pools,
                       std::chrono::milliseconds interval, Clock now)
    : source_(source),
      pools_(std::move(pools)),
      interval_(interval),
      now_(now ? std::move(now) : Clock([] { return std::chrono::steady_clock::now(); })),
      levels_(pools_.size()) {}

json PoolLevels::JsonLocked() const {
    json out = json::array();
    for (size_t i = 0; i < pools_.size(); ++i) {
        const Level& l = levels_[i];
        out.push_back({{"pool", pools_[i]},
                       {"remaining", l.known ? json(l.level.free) : json(nullptr)},
                       {"low_water", l.known ? json(l.level.lowWater) : json(nullptr)},
                       {"low", l.known && l.level.Low()},
                       {"error", l.error}});
    }
    return out;
}

json PoolLevels::Json() {
    std::vector<Level> read(pools_.size());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = now_();
        if (!source_ || reading_ || (read_ && now - lastRead_ < interval_)) return JsonLocked();
        reading_ = true;
        lastRead_ = now;
        read = levels_;
    }
    for (size_t i = 0; i < pools_.size(); ++i) {
        try {
            read[i].level = source_->Level(pools_[i]);
            read[i].known = true;
            read[i].error.clear();
        } catch (const std::exception& e) {
            // SerialUnavailable (no server, no lease) or a StoreError: the
            // last level read stays, with the reason beside it.
            read[i].error = e.what();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    levels_ = std::move(read);
    reading_ = false;
    read_ = true;
    return JsonLocked();
}

}  // namespace qmb::station
