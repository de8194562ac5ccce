// The levels of a recipe's serial pools as the page shows them: values
// left (free in the pool; in the lease during an outage), the low-water
// mark, and whether the pool is below it. A level is read of the serial
// source at most once per interval, whoever asks: many pages polling
// cost the database one read per pool per interval.
//
// Threads: Json from any thread. The source is called with no lock held
// (a read may wait within the store's time limits); while one thread
// reads, the others get the levels read before.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "production/SerialSource.h"

namespace qmb::station {

class PoolLevels {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // source outlives this (nullptr: no pools); pools in the recipe's
    // order. now: the clock (steady_clock::now by default; tests move
    // their own).
    PoolLevels(production::SerialSource* source, std::vector<std::string> pools,
               std::chrono::milliseconds interval = std::chrono::seconds(3), Clock now = {});

    // An array, one object per pool: {"pool", "remaining", "low_water",
    // "low", "error"}; remaining and low_water are null until a level was
    // read, error is "" or why the last read failed (the last level read
    // stays). Never throws.
    nlohmann::json Json();

  private:
    struct Level {
        bool known = false;
        store::PoolLevel level;
        std::string error;
    };
    nlohmann::json JsonLocked() const;

    production::SerialSource* source_;
    const std::vector<std::string> pools_;
    const std::chrono::milliseconds interval_;
    Clock now_;
    std::mutex mutex_;
    std::vector<Level> levels_;
    bool reading_ = false;
    bool read_ = false;  // a read finished once
    std::chrono::steady_clock::time_point lastRead_{};
};

}  // namespace qmb::station
