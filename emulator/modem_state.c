#include "emulator/modem_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

_Static_assert(sizeof(ModemState) == 32, "the file layout is 32 bytes");

enum { kPtySlaveFirstMajor = 136, kPtySlaveLastMajor = 143 };

int ModemStatePtyIndex(dev_t device)
{
    const unsigned int devMajor = major(device);
    if (devMajor < kPtySlaveFirstMajor || devMajor > kPtySlaveLastMajor) {
        return -1;
    }
    return (int)((devMajor - kPtySlaveFirstMajor) * 256u + minor(device));
}

int ModemStateMapOpen(const char* folder, int ptyIndex, ModemStateMap* pMap)
{
    char path[4096];
    pMap->pState = NULL;
    pMap->fd = -1;
    if (snprintf(path, sizeof path, "%s/pts-%d", folder, ptyIndex) >= (int)sizeof path) {
        return ENAMETOOLONG;
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    struct stat info;
    /* Growing a short file zero-fills it; two creators grow it to the same
     * size, so neither wipes what the other has written since. */
    if (fstat(fd, &info) != 0 || (info.st_size < (off_t)sizeof(ModemState) &&
                                  ftruncate(fd, (off_t)sizeof(ModemState)) != 0)) {
        const int error = errno;
        close(fd);
        return error;
    }
    void* pMapped = mmap(NULL, sizeof(ModemState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pMapped == MAP_FAILED) {
        const int error = errno;
        close(fd);
        return error;
    }
    pMap->pState = (ModemState*)pMapped;
    pMap->fd = fd;
    return 0;
}

void ModemStateUnmap(ModemStateMap* pMap)
{
    if (pMap->pState != NULL) {
        munmap(pMap->pState, sizeof(ModemState));
        pMap->pState = NULL;
    }
    if (pMap->fd >= 0) {
        close(pMap->fd);
        pMap->fd = -1;
    }
}

uint32_t ModemStateLines(const ModemStateMap* pMap)
{
    return __atomic_load_n(&pMap->pState->lines, __ATOMIC_ACQUIRE);
}

uint32_t ModemStateEdges(const ModemStateMap* pMap, int edge)
{
    return __atomic_load_n(&pMap->pState->edges[edge], __ATOMIC_ACQUIRE);
}

int ModemStateRefusesAll(const ModemStateMap* pMap)
{
    return __atomic_load_n(&pMap->pState->refuseAll, __ATOMIC_ACQUIRE) != 0;
}

int ModemStateRefusesWait(const ModemStateMap* pMap)
{
    return __atomic_load_n(&pMap->pState->refuseWait, __ATOMIC_ACQUIRE) != 0;
}

void ModemStateChange(const ModemStateMap* pMap, uint32_t set, uint32_t clear)
{
    static const uint32_t kEdgeLines[kModemEdgeCount] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI};
    ModemState* pState = pMap->pState;
    /* The lock orders writers of other processes (the test helper sets input
     * lines while the upgrader sets its outputs); it is advisory, so readers
     * need none. */
    while (flock(pMap->fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const uint32_t before = __atomic_load_n(&pState->lines, __ATOMIC_ACQUIRE);
    const uint32_t after = (before | set) & ~clear;
    if (after != before) {
        __atomic_store_n(&pState->lines, after, __ATOMIC_RELEASE);
        for (int edge = 0; edge < kModemEdgeCount; ++edge) {
            if ((before ^ after) & kEdgeLines[edge]) {
                __atomic_add_fetch(&pState->edges[edge], 1u, __ATOMIC_RELEASE);
            }
        }
        __atomic_add_fetch(&pState->changes, 1u, __ATOMIC_RELEASE);
    }
    flock(pMap->fd, LOCK_UN);
}
