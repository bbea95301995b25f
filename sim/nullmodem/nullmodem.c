/* nullmodem: a null-modem cable between two COM ports of a Wine prefix.
 *
 *   nullmodem STATE LINK_A LINK_B
 *
 * Makes two pseudo-terminal pairs, points the links (the prefix's
 * dosdevices/comN entries) at their slaves, writes the shared line state to
 * STATE (linestate.h), prints "ready" and then copies bytes between the two
 * masters until it is told to end (SIGTERM, SIGINT, or its parent's death).
 *
 * Flow control: an end whose termios holds CRTSCTS (Wine sets it for
 * fOutxCtsFlow or RTS handshaking) may send only while its CTS, the other
 * end's RTS, is high; an end whose "hold" field a test sets may not send at
 * all. The bridge stops such an end's output at the tty itself (tcflow), so
 * its writes stall at once, as behind a UART whose CTS is low. */
#define _GNU_SOURCE
#include "linestate.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#define BUFFER_SIZE 65536
/* How often the flow state is looked at when no byte moves. */
#define REFRESH_MS 2

struct end {
    int master, slave;
    pid_t holder;
    char name[64];
    const char *link;
    unsigned char pending[BUFFER_SIZE]; /* read from this end, not yet written to the other */
    size_t count;
    int stopped;
};

static volatile sig_atomic_t ending;
static void on_signal(int sig) { (void)sig; ending = 1; }

static void die(const char *what)
{
    fprintf(stderr, "nullmodem: %s: %s\n", what, strerror(errno));
    exit(1);
}

/* The wineserver opens devices itself, as a session leader without a
 * controlling terminal and without O_NOCTTY: a free pty slave would become
 * its controlling terminal, and the hang-up when the cable goes would send
 * it SIGHUP (it answers by dumping every object it holds to stderr). A child
 * in a session of its own takes the slave as its controlling terminal first,
 * and holds it until the bridge ends. */
static pid_t hold_as_terminal(const char *name)
{
    int ready[2];
    if (pipe(ready)) die("pipe");
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        if (setsid() < 0) _exit(1);
        int fd = open(name, O_RDWR); /* no O_NOCTTY: this is the point */
        if (fd < 0) _exit(1);
        if (write(ready[1], "", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char c;
    if (read(ready[0], &c, 1) != 1) {
        errno = EIO;
        die("terminal holder");
    }
    close(ready[0]);
    return pid;
}

static void open_pair(struct end *e)
{
    e->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (e->master < 0 || grantpt(e->master) || unlockpt(e->master)) die("posix_openpt");
    if (ptsname_r(e->master, e->name, sizeof e->name)) die("ptsname");
    const char *name = e->name;
    e->holder = hold_as_terminal(name);
    /* The bridge keeps the slave open for the life of the cable: the master
     * then never sees a hang-up while the Windows side closes and reopens. */
    e->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (e->slave < 0) die("open slave");
    struct termios t;
    if (tcgetattr(e->slave, &t)) die("tcgetattr");
    cfmakeraw(&t); /* a COM port passes bytes unchanged: no echo, no line editing */
    if (tcsetattr(e->slave, TCSANOW, &t)) die("tcsetattr");
    unlink(e->link);
    if (symlink(name, e->link)) die(e->link);
}

static struct rig_state *map_state(const char *path, const struct end ends[2])
{
    /* Rewritten in place, never replaced: processes that mapped the file of
     * an earlier cable keep a valid mapping. */
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, sizeof(struct rig_state))) die(path);
    struct rig_state *s = mmap(NULL, sizeof *s, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (s == MAP_FAILED) die("mmap");
    memset(s, 0, sizeof *s);
    for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (fstat(ends[i].slave, &st)) die("fstat");
        s->end[i].rdev = st.st_rdev;
    }
    s->version = RIG_STATE_VERSION;
    __atomic_store_n(&s->magic, RIG_STATE_MAGIC, __ATOMIC_RELEASE);
    return s;
}

/* The speed in baud of a termios speed code; 0 for one not listed. */
static uint32_t baud_of(speed_t code)
{
    static const struct { speed_t code; uint32_t baud; } rates[] = {
        {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
        {B460800, 460800}, {B921600, 921600},
    };
    for (size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i)
        if (rates[i].code == code) return rates[i].baud;
    return 0;
}

static void apply_flow(struct rig_state *s, struct end ends[2])
{
    for (int i = 0; i < 2; ++i) {
        struct termios t;
        int known = tcgetattr(ends[i].slave, &t) == 0;
        int crtscts = known && (t.c_cflag & CRTSCTS);
        /* Told, not applied: the bridge moves bytes at its own pace. */
        __atomic_store_n(&s->end[i].speed, known ? baud_of(cfgetospeed(&t)) : 0u, __ATOMIC_RELEASE);
        uint32_t peer = __atomic_load_n(&s->end[1 - i].outputs, __ATOMIC_ACQUIRE);
        int stop = __atomic_load_n(&s->end[i].hold, __ATOMIC_ACQUIRE) ||
                   (crtscts && !(peer & TIOCM_RTS));
        if (stop == ends[i].stopped) continue;
        if (tcflow(ends[i].slave, stop ? TCOOFF : TCOON)) die("tcflow");
        ends[i].stopped = stop;
        __atomic_store_n(&s->end[i].stopped, (uint32_t)stop, __ATOMIC_RELEASE);
    }
}

/* Moves what one end sent towards the other; 0 when nothing moved. */
static int pump(struct end *from, struct end *to, short from_events, short to_events)
{
    int moved = 0;
    if ((from_events & POLLIN) && from->count < BUFFER_SIZE) {
        ssize_t n = read(from->master, from->pending + from->count, BUFFER_SIZE - from->count);
        if (n > 0) { from->count += (size_t)n; moved = 1; }
        else if (n < 0 && errno != EAGAIN && errno != EIO) die("read");
    }
    if ((to_events & POLLOUT) && from->count > 0) {
        ssize_t n = write(to->master, from->pending, from->count);
        if (n > 0) {
            memmove(from->pending, from->pending + n, from->count - (size_t)n);
            from->count -= (size_t)n;
            moved = 1;
        } else if (n < 0 && errno != EAGAIN && errno != EIO) die("write");
    }
    return moved;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: nullmodem STATE LINK_A LINK_B\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM); /* a killed test script takes its cable along */
    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    static struct end ends[2];
    ends[0].link = argv[2];
    ends[1].link = argv[3];
    open_pair(&ends[0]);
    open_pair(&ends[1]);
    struct rig_state *s = map_state(argv[1], ends);
    printf("ready %s %s\n", ends[0].name, ends[1].name);
    fflush(stdout);

    while (!ending) {
        apply_flow(s, ends);
        struct pollfd p[2];
        for (int i = 0; i < 2; ++i) {
            p[i].fd = ends[i].master;
            p[i].events = (short)((ends[i].count < BUFFER_SIZE ? POLLIN : 0) |
                                  (ends[1 - i].count > 0 ? POLLOUT : 0));
            p[i].revents = 0;
        }
        int n = poll(p, 2, REFRESH_MS);
        if (n < 0 && errno != EINTR) die("poll");
        if (n <= 0) continue;
        pump(&ends[0], &ends[1], p[0].revents, p[1].revents);
        pump(&ends[1], &ends[0], p[1].revents, p[0].revents);
    }
    for (int i = 0; i < 2; ++i) {
        unlink(ends[i].link);
        kill(ends[i].holder, SIGKILL);
        waitpid(ends[i].holder, NULL, 0);
    }
    return 0;
}
