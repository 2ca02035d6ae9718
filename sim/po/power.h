#pragma once

#include "driver/platform/platform.h"

namespace sim::po {

// How often PoStartNextPowerIrp was called for a live IRP.
int NextPowerIrpStarts(PIRP irp);

}  // namespace sim::po
