/*
 * mulvolib.h - access library of the DOV-RAX 8-bit digital I/O adapter.
 *
 * Nine C functions reach the adapter. Handles and numbers are 32-bit; a handle of 0 never
 * names an open adapter. Unless stated otherwise a function returns MULVO_OK (0) on success and
 * a negative MULVO_E_* value on failure; a stale, zero or unknown handle or a null pointer is
 * a failure that changes nothing.
 *
 * Interrupts: after mulvo_connect() every interrupt the adapter raises gives exactly one call
 * of the callback, in order, on the library's own delivery thread, with the handle and a running
 * interrupt number. The callback may call any function of this library on the same handle.
 * mulvo_intcout(h, MULVO_INT_DISARM) and mulvo_close(h) disarm the interrupt and return only
 * when no callback for h is running or can start; both may be called from inside the callback.
 */
#ifndef MULVOLIB_H
#define MULVOLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MULVO_OK 0
#define MULVO_E_HANDLE (-1) /* zero, stale or unknown handle */
#define MULVO_E_ARG (-2)    /* null pointer or value out of range */
#define MULVO_E_ABSENT (-3) /* the adapter is not present (unplugged) */
#define MULVO_E_SYSTEM (-4) /* the adapter state could not be reached */
/* A call that fails with MULVO_E_ABSENT has done nothing. Disarming, closing and the extension
 * pointer work whether or not the adapter is present. */

#define MULVO_PORT_ACK 8u      /* mulvo_out2(h, MULVO_PORT_ACK, 0) acknowledges the interrupt */
#define MULVO_INT_DISARM 0xB0u /* mulvo_intcout(h, MULVO_INT_DISARM) disarms the interrupt */

typedef void (*mulvo_callback)(uint32_t handle, uint32_t value);

/* Opens adapter `device`; returns a new non-zero handle, or 0 when that adapter is absent. */
uint32_t mulvo_open(uint32_t device);
/* Disarms the interrupt like mulvo_intcout and invalidates the handle. */
int32_t mulvo_close(uint32_t handle);
/* Writes the output byte (the low 8 bits of value). */
int32_t mulvo_mbout(uint32_t handle, uint32_t value);
/* Reads the input byte (0..255) into *value. */
int32_t mulvo_mbin(uint32_t handle, uint32_t *value);
/* Keeps one caller pointer with the handle. */
int32_t mulvo_set_extension(uint32_t handle, void *record);
/* Returns the pointer last kept with the handle, or NULL. */
void *mulvo_get_extension(uint32_t handle);
/* Registers the interrupt callback and arms the interrupt. */
int32_t mulvo_connect(uint32_t handle, mulvo_callback callback);
/* Interrupt control; MULVO_INT_DISARM disarms (see above). */
int32_t mulvo_intcout(uint32_t handle, uint32_t value);
/* Writes a control port; port MULVO_PORT_ACK with value 0 acknowledges the interrupt latch. */
int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* MULVOLIB_H */
