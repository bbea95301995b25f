/* libmodemlines.so: modem lines for COM ports that live on pseudo-terminals.
 *
 * A pseudo-terminal has no modem lines: TIOCMGET and its companions fail on
 * it, so Wine cannot report CTS, DSR, RLSD or RING, nor raise DTR and RTS.
 * Preloaded into wine (LD_PRELOAD), this library answers those requests for
 * the two pty slaves of the rig from the shared line state (linestate.h);
 * every other ioctl, and every other file, goes to the C library untouched. */
#define _GNU_SOURCE
#include "linestate.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
static struct rig_state *state;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void start(void)
{
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    const char *path = getenv(RIG_STATE_ENV);
    if (!path) return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void *map = mmap(NULL, sizeof(struct rig_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    state = map;
    if (state->magic != RIG_STATE_MAGIC || state->version != RIG_STATE_VERSION) {
        munmap(map, sizeof(struct rig_state));
        state = NULL;
    }
}

/* Which end of the cable fd is, or -1 when it is no rig port. */
static int end_of(int fd)
{
    struct stat st;
    if (!state || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    for (int i = 0; i < 2; ++i)
        if (__atomic_load_n(&state->end[i].rdev, __ATOMIC_ACQUIRE) == (uint64_t)st.st_rdev) return i;
    return -1;
}

static int lines_seen_by(int i)
{
    const struct rig_end *self = &state->end[i], *peer = &state->end[1 - i];
    uint32_t own = __atomic_load_n(&self->outputs, __ATOMIC_ACQUIRE);
    uint32_t other = __atomic_load_n(&peer->outputs, __ATOMIC_ACQUIRE);
    int bits = (int)(own & (TIOCM_DTR | TIOCM_RTS));
    if (other & TIOCM_RTS) bits |= TIOCM_CTS;
    if (other & TIOCM_DTR) bits |= TIOCM_DSR | TIOCM_CAR;
    if (__atomic_load_n(&self->ring, __ATOMIC_ACQUIRE)) bits |= TIOCM_RNG;
    return bits;
}

static void set_outputs(int i, uint32_t set, uint32_t clear)
{
    struct rig_end *self = &state->end[i];
    uint32_t old = __atomic_load_n(&self->outputs, __ATOMIC_ACQUIRE), want;
    do {
        want = (old & ~clear) | set;
        want &= TIOCM_DTR | TIOCM_RTS;
    } while (!__atomic_compare_exchange_n(&self->outputs, &old, want, 0, __ATOMIC_ACQ_REL,
                                          __ATOMIC_ACQUIRE));
    if (want != old) __atomic_add_fetch(&self->changes, 1, __ATOMIC_ACQ_REL);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    pthread_once(&once, start);

    switch (request) {
    case TIOCMGET: case TIOCMSET: case TIOCMBIS: case TIOCMBIC: {
        int i = end_of(fd);
        if (i < 0) break;
        int *bits = arg;
        const uint32_t lines = TIOCM_DTR | TIOCM_RTS;
        if (request == TIOCMGET) *bits = lines_seen_by(i);
        else if (request == TIOCMSET) set_outputs(i, (uint32_t)*bits & lines, lines);
        else if (request == TIOCMBIS) set_outputs(i, (uint32_t)*bits & lines, 0);
        else set_outputs(i, 0, (uint32_t)*bits & lines);
        return 0;
    }
    }
    return real_ioctl(fd, request, arg);
}
