/* Modem lines for pseudo-terminals, for tests: loaded with LD_PRELOAD into the
 * upgrader, it answers TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC and TIOCMIWAIT
 * for pty slaves (/dev/pts/N), which the kernel answers with ENOTTY. The lines
 * live in the shared state file of each pty (emulator/modem_state.h) in the
 * folder named by KELVORA_MODEM_LINES; without that variable every call goes
 * straight to the C library. */
#define _GNU_SOURCE
/* The fortified headers define open() inline; this file defines it itself. */
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "emulator/modem_state.h"

enum {
    kMaxPtys = 8 * 256,       /* Unix98 slave majors 136-143, 256 minors each */
    kMaxTrackedFds = 65536,   /* descriptors above this are not followed */
    kWaitPollNs = 2000000,    /* TIOCMIWAIT looks at the lines this often */
};

/* The lines a host may set; the others belong to the far end. */
static const uint32_t kHostLines = TIOCM_DTR | TIOCM_RTS;
/* The lines TIOCMIWAIT can wait on, as in the kernel's serial core. */
static const int kEdgeLines[kModemEdgeCount] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI};

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*CloseFunction)(int);
typedef int (*OpenFunction)(const char*, int, ...);
typedef int (*OpenatFunction)(int, const char*, int, ...);

/* Guards g_ptys. Mappings, once made, stay until the process ends: a thread
 * waiting in TIOCMIWAIT keeps using its pointer without the lock. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    ModemStateMap map;
    int opens;  /* descriptors of this process opened on the pty */
} g_ptys[kMaxPtys];
/* pty index + 1 of a descriptor this process opened on a pty, else 0. */
static int g_fdPty[kMaxTrackedFds];

static void* NextSymbol(const char* pName)
{
    return dlsym(RTLD_NEXT, pName);
}

static const char* Folder(void)
{
    const char* pFolder = getenv(KELVORA_MODEM_LINES_ENV);
    return pFolder != NULL && pFolder[0] != '\0' ? pFolder : NULL;
}

/* The pty index of fd when it is a pty slave, else -1. */
static int PtyOf(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        return -1;
    }
    const int index = ModemStatePtyIndex(info.st_rdev);
    return index < kMaxPtys ? index : -1;
}

/* The state of pty index, mapped on first use; NULL when it cannot be. Called
 * with g_lock held. */
static const ModemStateMap* MapLocked(int index, const char* pFolder)
{
    if (g_ptys[index].map.pState == NULL && ModemStateMapOpen(pFolder, index, &g_ptys[index].map) != 0) {
        return NULL;
    }
    return &g_ptys[index].map;
}

static const ModemStateMap* Map(int index, const char* pFolder)
{
    pthread_mutex_lock(&g_lock);
    const ModemStateMap* pMap = MapLocked(index, pFolder);
    pthread_mutex_unlock(&g_lock);
    return pMap;
}

/* Like the kernel's tty_port for a real UART: the first open of the port
 * raises DTR and RTS. Opens are counted per process; a descriptor another
 * process holds (the emulator's own hold on its pty) does not count, as a real
 * UART has no such second holder. A UART's settings start with HUPCL (the
 * kernel's standard termios) while a pty's do not, so the first open adds it. */
static int AfterOpen(int fd)
{
    const char* pFolder = Folder();
    if (fd < 0 || pFolder == NULL || fd >= kMaxTrackedFds) {
        return fd;
    }
    const int index = PtyOf(fd);
    if (index < 0) {
        return fd;
    }
    const int savedErrno = errno;
    pthread_mutex_lock(&g_lock);
    const ModemStateMap* pMap = MapLocked(index, pFolder);
    if (pMap != NULL) {
        if (g_ptys[index].opens++ == 0) {
            struct termios settings;
            if (tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL) == 0) {
                settings.c_cflag |= HUPCL;
                tcsetattr(fd, TCSANOW, &settings);
            }
            ModemStateChange(pMap, kHostLines, 0);
        }
        g_fdPty[fd] = index + 1;
    }
    pthread_mutex_unlock(&g_lock);
    errno = savedErrno;
    return fd;
}

static int WaitForEdge(const ModemStateMap* pMap, uint32_t mask)
{
    uint32_t before[kModemEdgeCount];
    for (int edge = 0; edge < kModemEdgeCount; ++edge) {
        before[edge] = ModemStateEdges(pMap, edge);
    }
    for (;;) {
        const struct timespec pause = {0, kWaitPollNs};
        /* nanosleep is never restarted after a signal handler, so a signal
         * meant to stop the waiting thread ends the wait with EINTR. */
        if (nanosleep(&pause, NULL) != 0 && errno == EINTR) {
            return -1;
        }
        for (int edge = 0; edge < kModemEdgeCount; ++edge) {
            if ((mask & (uint32_t)kEdgeLines[edge]) && ModemStateEdges(pMap, edge) != before[edge]) {
                return 0;
            }
        }
    }
}

static int ModemIoctl(const ModemStateMap* pMap, unsigned long request, void* pArg)
{
    if (ModemStateRefusesAll(pMap)) {
        errno = ENOTTY;
        return -1;
    }
    if (request == TIOCMIWAIT) {
        if (ModemStateRefusesWait(pMap)) {
            errno = EINVAL;
            return -1;
        }
        /* The mask comes by value; only its low bits mean anything. */
        return WaitForEdge(pMap, (uint32_t)(uintptr_t)pArg);
    }
    int* pBits = (int*)pArg;
    if (pBits == NULL) {
        errno = EFAULT;
        return -1;
    }
    const uint32_t bits = (uint32_t)*pBits;
    switch (request) {
    case TIOCMGET: *pBits = (int)ModemStateLines(pMap); break;
    case TIOCMSET: ModemStateChange(pMap, bits & kHostLines, ~bits & kHostLines); break;
    case TIOCMBIS: ModemStateChange(pMap, bits & kHostLines, 0); break;
    case TIOCMBIC: ModemStateChange(pMap, 0, bits & kHostLines); break;
    default: break;
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* pArg = va_arg(args, void*);
    va_end(args);
    static IoctlFunction s_realIoctl;
    if (s_realIoctl == NULL) {
        s_realIoctl = (IoctlFunction)NextSymbol("ioctl");
    }
    const int modemRequest = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
                             request == TIOCMBIC || request == TIOCMIWAIT;
    const char* pFolder = modemRequest ? Folder() : NULL;
    if (pFolder != NULL) {
        const int index = PtyOf(fd);
        const ModemStateMap* pMap = index >= 0 ? Map(index, pFolder) : NULL;
        if (pMap != NULL) {
            return ModemIoctl(pMap, request, pArg);
        }
    }
    return s_realIoctl(fd, request, pArg);
}

/* Like the kernel's tty_port for a real UART: the last close of the port with
 * HUPCL in its settings drops DTR and RTS. */
int close(int fd)
{
    static CloseFunction s_realClose;
    if (s_realClose == NULL) {
        s_realClose = (CloseFunction)NextSymbol("close");
    }
    if (fd < 0 || fd >= kMaxTrackedFds || __atomic_load_n(&g_fdPty[fd], __ATOMIC_ACQUIRE) == 0) {
        return s_realClose(fd);
    }
    struct termios settings;
    const int hangUp = tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL) != 0;
    pthread_mutex_lock(&g_lock);
    const int index = g_fdPty[fd] - 1;
    g_fdPty[fd] = 0;
    const int result = s_realClose(fd);
    const int savedErrno = errno;
    if (index >= 0 && --g_ptys[index].opens == 0 && hangUp && g_ptys[index].map.pState != NULL) {
        ModemStateChange(&g_ptys[index].map, 0, kHostLines);
    }
    pthread_mutex_unlock(&g_lock);
    errno = savedErrno;
    return result;
}

#define KELVORA_OPEN_MODE(flags, mode)                                                                \
    mode_t mode = 0;                                                                                  \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                                                            \
        va_list args;                                                                                 \
        va_start(args, flags);                                                                        \
        mode = (mode_t)va_arg(args, int);                                                             \
        va_end(args);                                                                                 \
    }

#define KELVORA_INTERPOSE_OPEN(name)                                                                  \
    int name(const char* pPath, int flags, ...)                                                       \
    {                                                                                                 \
        static OpenFunction s_real;                                                                   \
        if (s_real == NULL) {                                                                         \
            s_real = (OpenFunction)NextSymbol(#name);                                                 \
        }                                                                                             \
        KELVORA_OPEN_MODE(flags, mode)                                                                \
        return AfterOpen(s_real(pPath, flags, mode));                                                 \
    }

#define KELVORA_INTERPOSE_OPENAT(name)                                                                \
    int name(int dirFd, const char* pPath, int flags, ...)                                            \
    {                                                                                                 \
        static OpenatFunction s_real;                                                                 \
        if (s_real == NULL) {                                                                         \
            s_real = (OpenatFunction)NextSymbol(#name);                                               \
        }                                                                                             \
        KELVORA_OPEN_MODE(flags, mode)                                                                \
        return AfterOpen(s_real(dirFd, pPath, flags, mode));                                          \
    }

/* The fortified entry points (_FORTIFY_SOURCE) take no mode. */
#define KELVORA_INTERPOSE_OPEN_2(name)                                                                \
    int name(const char* pPath, int flags)                                                            \
    {                                                                                                 \
        static int (*s_real)(const char*, int);                                                       \
        if (s_real == NULL) {                                                                         \
            s_real = (int (*)(const char*, int))NextSymbol(#name);                                    \
        }                                                                                             \
        return AfterOpen(s_real(pPath, flags));                                                       \
    }

KELVORA_INTERPOSE_OPEN(open)
KELVORA_INTERPOSE_OPEN(open64)
KELVORA_INTERPOSE_OPENAT(openat)
KELVORA_INTERPOSE_OPENAT(openat64)
KELVORA_INTERPOSE_OPEN_2(__open_2)
KELVORA_INTERPOSE_OPEN_2(__open64_2)
