/* Control of the simulated flash memories, for tests and tools (see control.h).
 *
 * The device carries two flash memories:
 *   "config"  part "KF25Q016", at 0x00000000: region 0 of 4 sectors of 4 KiB,
 *             region 1 of 2 sectors of 64 KiB (0x00000000-0x00023fff);
 *   "boot"    part "KF25L512", at 0xffff0000: region 0 of 8 sectors of 4 KiB,
 *             write-protected, region 1 of 2 sectors of 16 KiB (up to
 *             0xffffffff, the top of the address space).
 * Sector indices count across the regions; a sector's ending address is its
 * last byte. Erased flash reads 0xff; kelosim_reset erases both memories.
 * kelo_flash_program stores the bytes as given (the library erases what it
 * must); it refuses a span that leaves the memory (-3) or touches a
 * write-protected sector (-2), writing nothing. kelo_flash_read refuses a
 * start outside the memory (-3); a span that runs past the end is read up
 * to the end, and the count read is stored back through the length. Every
 * flash function fails with -2 while no device is open. */
#ifndef KELOSIM_MEMORY_CONTROL_H
#define KELOSIM_MEMORY_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Copies len bytes into / out of memory `id` at `address`, bypassing
 * protection and the library's functions. Returns 0, or -1 for an unknown
 * memory or a span outside it (nothing copied). */
KELOSIM_API int kelosim_flash_poke(const char* id, uint32_t address, const uint8_t* data, size_t len);
KELOSIM_API int kelosim_flash_peek(const char* id, uint32_t address, uint8_t* data, size_t len);

#ifdef __cplusplus
}
#endif
#endif
