// The virtual adapter library: the adapter core on the shared segment. The nine exported
// functions are the core's.
#include "simadapter.h"

namespace {

// One adapter per process, because the C interface has no context argument. Constructed when
// the library loads; destroyed, with its thread joined, when it unloads.
mulvo::sim::SimAdapter g_processAdapter;

} // namespace
