/* The state two ends of the emulated null-modem cable share: one small file,
 * mapped by the bridge (nullmodem) and by every process that runs with the
 * modem-line library (libmodemlines.so) preloaded.
 *
 * Each end drives its own DTR and RTS; what it reads is wired as a null-modem
 * cable wires it: the other end's RTS is its CTS, the other end's DTR its DSR
 * and carrier detect. RING has no wire in such a cable; a test raises it by
 * writing the field, to imitate a modem. Line errors have no wire either: a
 * test counts framing errors and breaks up, and the end's driver sees them as
 * a UART's interrupt counters (TIOCGICOUNT). Tests under Wine reach the file
 * through the Z: drive and map it like any file. */
#ifndef CORVANE_RIG_LINESTATE_H
#define CORVANE_RIG_LINESTATE_H

#include <stdint.h>

#define RIG_STATE_MAGIC 0x4e4d4c43u /* "CLMN" */
#define RIG_STATE_VERSION 3u
/* The environment variable that names the state file for the preloaded library. */
#define RIG_STATE_ENV "CORVANE_RIG_STATE"

struct rig_end {
    uint64_t rdev;       /* device number of the pty slave this end's COM link names */
    uint32_t outputs;    /* TIOCM_DTR | TIOCM_RTS as this end last set them */
    uint32_t ring;       /* non-zero: this end sees RING (set by a test) */
    uint32_t hold;       /* non-zero: a test asks the bridge to stop taking this end's bytes */
    uint32_t stopped;    /* non-zero: the bridge stops this end's output now (hold, or
                            hardware flow control with CTS low) */
    uint32_t changes;    /* counts every change of outputs */
    uint32_t frame;      /* framing errors this end has received (a test adds them) */
    uint32_t brk;        /* breaks this end has received (a test adds them) */
    uint32_t speed;      /* the line speed in baud the end's driver set (0: none the bridge knows) */
};

struct rig_state {
    uint32_t magic;
    uint32_t version;
    struct rig_end end[2];
};

#endif
