/*
 * loopback-adapter.c - an adapter library that DOVRAX can load, for a bench without a card:
 * adapter 0 reads back as its input byte the last byte written to its output. It has no
 * interrupt source, so an armed interrupt never fires and disarming has nothing to wait for.
 * Build it as docs/adapter-library.md (or the dovrax-dev package's copy of it) shows.
 */
#include <mulvolib.h>

#include <pthread.h>
#include <stddef.h>

#define MAX_HANDLES 16

struct slot
{
    uint32_t handle; /* 0 while the slot is free */
    void *record;
    mulvo_callback callback; /* non-null while armed */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct slot slots[MAX_HANDLES];
static uint32_t last_handle;
static uint8_t output; /* the adapter's state, seen by all of its handles */

/* The slot of an open handle, or NULL. Called with the lock held. */
static struct slot *find(uint32_t handle)
{
    if (handle == 0)
        return NULL;
    for (size_t i = 0; i < MAX_HANDLES; ++i)
        if (slots[i].handle == handle)
            return &slots[i];
    return NULL;
}

uint32_t mulvo_open(uint32_t device)
{
    uint32_t handle = 0;
    if (device != 0)
        return 0;
    pthread_mutex_lock(&lock);
    struct slot *free_slot = NULL;
    for (size_t i = 0; !free_slot && i < MAX_HANDLES; ++i)
        if (slots[i].handle == 0)
            free_slot = &slots[i];
    if (free_slot) {
        /* Handles are never reused, so a stale one stays stale; 0 is never a handle. */
        if (++last_handle == 0)
            ++last_handle;
        free_slot->handle = handle = last_handle;
        free_slot->record = NULL;
        free_slot->callback = NULL;
    }
    pthread_mutex_unlock(&lock);
    return handle;
}

int32_t mulvo_close(uint32_t handle)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s)
        s->handle = 0;
    pthread_mutex_unlock(&lock);
    return s ? MULVO_OK : MULVO_E_HANDLE;
}

int32_t mulvo_mbout(uint32_t handle, uint32_t value)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s)
        output = (uint8_t)value;
    pthread_mutex_unlock(&lock);
    return s ? MULVO_OK : MULVO_E_HANDLE;
}

int32_t mulvo_mbin(uint32_t handle, uint32_t *value)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s && value)
        *value = output;
    pthread_mutex_unlock(&lock);
    return !s ? MULVO_E_HANDLE : !value ? MULVO_E_ARG : MULVO_OK;
}

int32_t mulvo_set_extension(uint32_t handle, void *record)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s)
        s->record = record;
    pthread_mutex_unlock(&lock);
    return s ? MULVO_OK : MULVO_E_HANDLE;
}

void *mulvo_get_extension(uint32_t handle)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    void *record = s ? s->record : NULL;
    pthread_mutex_unlock(&lock);
    return record;
}

int32_t mulvo_connect(uint32_t handle, mulvo_callback callback)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s && callback)
        s->callback = callback;
    pthread_mutex_unlock(&lock);
    return !s ? MULVO_E_HANDLE : !callback ? MULVO_E_ARG : MULVO_OK;
}

int32_t mulvo_intcout(uint32_t handle, uint32_t value)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    if (s && value == MULVO_INT_DISARM)
        s->callback = NULL;
    pthread_mutex_unlock(&lock);
    return !s ? MULVO_E_HANDLE : value != MULVO_INT_DISARM ? MULVO_E_ARG : MULVO_OK;
}

int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value)
{
    pthread_mutex_lock(&lock);
    struct slot *s = find(handle);
    pthread_mutex_unlock(&lock);
    if (!s)
        return MULVO_E_HANDLE;
    /* Nothing latches an interrupt here, so acknowledging it is all this port does. */
    return port == MULVO_PORT_ACK && value == 0 ? MULVO_OK : MULVO_E_ARG;
}
