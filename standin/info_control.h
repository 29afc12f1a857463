/* Control of the simulated hardware revisions and register bus, for tests
 * and tools (see control.h).
 *
 * Revisions, in index order: "firmware" 4.2.0, "fpga" 2.10.0-7a3e,
 * "board" C, "readout" 1.3.
 *
 * Register file (byte addresses of 32-bit words):
 *   0x00000000  read-only   0x4b454c4f, the device signature
 *   0x00000004  read-only   0x00020003, the register map version
 *   0x00000008  read-only   0x80000001, status: ready (top bit) and powered
 *   0x00000010-0x0000001c   read-write scratch words, 0 after reset
 *   0x00000020  read-write, answers 101 (exclusive access completed)
 *   0x00000024  read-write, answers 104 (completed after a bus retry)
 * A write to a read-only word, an unaligned address or any address of the
 * faulty slave at 0xdead0000-0xdeadffff answers 102 (slave error); every
 * other address answers 103 (decode error: no slave). Both set the last
 * error and leave the data untouched. Every revision and register function
 * fails with -2 while no device is open; kelosim_reset restores all of this. */
#ifndef KELOSIM_INFO_CONTROL_H
#define KELOSIM_INFO_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Empties the list of revisions; kelosim_revision_add appends one. Two
 * entries may share an identifier (the string lookup finds the first). */
KELOSIM_API void kelosim_revisions_clear(void);
KELOSIM_API void kelosim_revision_add(const char* id, const char* version);

#ifdef __cplusplus
}
#endif
#endif
