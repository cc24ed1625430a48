/* The modem lines of one pseudo-terminal, shared between processes through a
 * small mapped file: the test library that gives pseudo-terminals modem lines
 * writes and reads it for the upgrader's descriptors, the emulator reads it to
 * know whether its box is powered, and tests (modem_lines.py) set the lines a
 * fixture would drive.
 *
 * The file is $KELVORA_MODEM_LINES/pts-N for /dev/pts/N, created on demand and
 * zero-filled: 32 bytes, eight 32-bit words in the machine's byte order.
 * Writers change it under flock(LOCK_EX) on the file; readers read words. */
#ifndef KELVORA_EMULATOR_MODEM_STATE_H
#define KELVORA_EMULATOR_MODEM_STATE_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KELVORA_MODEM_LINES_ENV "KELVORA_MODEM_LINES"

/* Edge counters, in this order, of the lines a host can only read. */
enum { kModemEdgeCts, kModemEdgeDsr, kModemEdgeDcd, kModemEdgeRi, kModemEdgeCount };

typedef struct ModemState {
    uint32_t lines;       /* TIOCM_* bits of the asserted lines */
    uint32_t changes;     /* grows by one with every change of the lines */
    uint32_t refuseAll;   /* nonzero: every modem ioctl fails with ENOTTY */
    uint32_t refuseWait;  /* nonzero: TIOCMIWAIT fails with EINVAL */
    uint32_t edges[kModemEdgeCount];  /* changes of CTS, DSR, DCD, RI */
} ModemState;

typedef struct ModemStateMap {
    ModemState* pState;
    int fd;
} ModemStateMap;

/* N of /dev/pts/N for a device number of a Unix98 pty slave (majors 136 to
 * 143), or -1. */
int ModemStatePtyIndex(dev_t device);
/* Maps the state of pty N in folder, creating the file when missing. 0, or an
 * errno value. */
int ModemStateMapOpen(const char* folder, int ptyIndex, ModemStateMap* pMap);
void ModemStateUnmap(ModemStateMap* pMap);

uint32_t ModemStateLines(const ModemStateMap* pMap);
uint32_t ModemStateEdges(const ModemStateMap* pMap, int edge);
int ModemStateRefusesAll(const ModemStateMap* pMap);
int ModemStateRefusesWait(const ModemStateMap* pMap);
/* Asserts the lines in set and drops those in clear, counting the changes. */
void ModemStateChange(const ModemStateMap* pMap, uint32_t set, uint32_t clear);

#ifdef __cplusplus
}
#endif

#endif
