/* Modem lines for a pseudo-terminal used as a serial port: by a Wine COM
 * port (built 32-bit and preloaded into the Wine process) or by the driver's
 * POSIX port layer. A pty refuses TIOCMGET and TIOCMSET, so the carrier could
 * not be read nor DTR set. On the port's descriptor this answers them from a
 * small file shared with the test's line peer: the peer writes the modem
 * status bits (carrier, DSR, CTS), this library records DTR and RTS as the
 * port sets them. Wine's unix side is built with 64-bit time, so its calls
 * arrive as __ioctl_time64 as well as ioctl. The machine's clock is never
 * changed: clock_settime and settimeofday fail with EPERM.
 *
 * Environment: TELDRV_SHIM_PTY, the pty's device path (the slave end as
 * /proc/self/fd shows it), or a link to it, followed at every look: a port
 * whose link comes to name another pty is that pty from then on, and while
 * the link is gone no descriptor is the port; TELDRV_SHIM_LINES, the shared
 * file (the struct of modem_lines.h, made by the peer), read once, at the
 * first look at a port. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "modem_lines.h"

static struct TeldrvModemLines* shared;
static pthread_once_t mapped = PTHREAD_ONCE_INIT;

/* Once per process: several threads may reach the port at the same time. */
static void MapShared(void) {
    const char* path = getenv("TELDRV_SHIM_LINES");
    int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0) return;
    void* map = mmap(NULL, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) shared = map;
    close(fd);
}

static struct TeldrvModemLines* Shared(void) {
    pthread_once(&mapped, MapShared);
    return shared;
}

static int IsThePort(int fd) {
    const char* pty = getenv("TELDRV_SHIM_PTY");
    if (!pty || !Shared()) return 0;
    char named[PATH_MAX];
    if (!realpath(pty, named)) return 0;
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    return strcmp(target, named) == 0;
}

static void SetOutput(uint32_t lines) {
    struct TeldrvModemLines* shared = Shared();
    lines &= TIOCM_DTR | TIOCM_RTS;
    const uint32_t before = __atomic_exchange_n(&shared->output, lines, __ATOMIC_SEQ_CST);
    /* A pulse shorter than the peer's look at the lines is still counted. */
    if ((before ^ lines) & TIOCM_DTR) __atomic_add_fetch(&shared->dtrChanges, 1, __ATOMIC_SEQ_CST);
}

/* 1 when the request was one of the modem line requests on the port. */
static int ModemLines(int fd, unsigned long request, void* arg, int* result) {
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) return 0;
    if (!IsThePort(fd)) return 0;
    struct TeldrvModemLines* shared = Shared();
    int* bits = arg;
    if (!bits) {
        errno = EFAULT;
        *result = -1;
        return 1;
    }
    const uint32_t output = __atomic_load_n(&shared->output, __ATOMIC_SEQ_CST);
    if (request == TIOCMGET) *bits = (int)(__atomic_load_n(&shared->status, __ATOMIC_SEQ_CST) | output);
    if (request == TIOCMSET) SetOutput((uint32_t)*bits);
    if (request == TIOCMBIS) SetOutput(output | (uint32_t)*bits);
    if (request == TIOCMBIC) SetOutput(output & ~(uint32_t)*bits);
    *result = 0;
    return 1;
}

typedef int (*IoctlFunction)(int, unsigned long, ...);

static int Forward(const char* name, int fd, unsigned long request, void* arg) {
    IoctlFunction next = (IoctlFunction)dlsym(RTLD_NEXT, name);
    if (!next) next = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

/* Both entry points: the modem-line requests on the port, all else passed on. */
static int Ioctl(const char* name, int fd, unsigned long request, void* arg) {
    int result = 0;
    if (ModemLines(fd, request, arg, &result)) return result;
    return Forward(name, fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Ioctl("ioctl", fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Ioctl("__ioctl_time64", fd, request, arg);
}

static int RefuseClock(void) {
    errno = EPERM;
    return -1;
}

int clock_settime(clockid_t clock, const struct timespec* value) {
    (void)clock;
    (void)value;
    return RefuseClock();
}

int __clock_settime64(clockid_t clock, const void* value) {
    (void)clock;
    (void)value;
    return RefuseClock();
}

int settimeofday(const struct timeval* value, const struct timezone* zone) {
    (void)value;
    (void)zone;
    return RefuseClock();
}

int __settimeofday64(const void* value, const void* zone) {
    (void)value;
    (void)zone;
    return RefuseClock();
}
