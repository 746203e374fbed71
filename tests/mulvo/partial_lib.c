/* A library that has only one of the nine functions, to show how the loader reports a
 * library that is not an adapter library. */
#include <stdint.h>

__attribute__((visibility("default"))) uint32_t mulvo_open(uint32_t device)
{
    return device + 1;
}
