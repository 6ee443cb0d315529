// Which failures waiting may cure: the one table of codes, and the
// verdict on the failure in flight, wherever it was raised.
#pragma once

#include "engine/failure.h"

namespace ferrux::engine {

// Whether waiting may cure the failure in flight, as it was classified
// where it was raised; a failure of the writer thread (the block pipeline's
// WriterFailed) by the failure it carries. Only inside a catch block.
bool CurrentFailureRetriable();

}  // namespace ferrux::engine
