// The adapter service's client library, libmulvo-service.so.1: the adapter core on a
// connection to mulvod. The nine exported functions are the core's.
#include "serviceadapter.h"

namespace {

// One per process, because the C interface has no context argument. Constructed when the
// library loads; destroyed, with its thread joined, when it unloads.
mulvo::service::ServiceAdapter g_processAdapter;

} // namespace
