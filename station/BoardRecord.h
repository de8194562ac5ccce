// A finished board of the production loop as the record the station keeps.
#pragma once

#include <string>

#include "cli/Production.h"
#include "station/Records.h"

namespace qmb::station {

// What every record of a run shares.
struct RunContext {
    std::string station, operatorName, batch, toolVersion;
    std::string imageSha256;
    int64_t imageLength = 0;
};

Record RecordOf(const cli::BoardOutcome& outcome, const RunContext& run);

}  // namespace qmb::station
