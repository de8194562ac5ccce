// The section image the windows' jobs work on.
#include "protocol/Commands.h"

namespace qmb {

uint8_t SectionBuffer[kSectionBufferSize];

}  // namespace qmb
