// The GPIO adapter library: the adapter core on the kernel's GPIO character device. The nine
// exported functions are the core's.
#include "gpioadapter.h"
#include "gpiokernel.h"

namespace {

// One adapter per process, because the C interface has no context argument. Constructed when
// the library loads; destroyed, with its thread joined, when it unloads.
mulvo::gpio::GpioAdapter g_adapter(mulvo::gpio::libraryKernel());

} // namespace
