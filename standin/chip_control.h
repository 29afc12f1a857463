/* Control of the simulated chips, for tests and tools (see control.h).
 *
 * The default device carries a 2x2 arrangement of 256x256 Timepix3 chips.
 * DACs and the threshold "THL" are stored per chip: the library's getters
 * read the first chip, its setters set every chip, and configuration
 * documents may set one chip. The threshold converts at 0.025 keV per raw
 * step (raw 0 to 4095, keV 0 to 102.375, noise 0.8 keV). Binning parameters
 * default to 256 x 256 bins of 1000 ns; width and height may be 1 to 1024,
 * the dwell time 1 to 1e9 ns. kelosim_reset restores all of this. */
#ifndef KELOSIM_CHIP_CONTROL_H
#define KELOSIM_CHIP_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Number of chips of the device (default 4); 0 is allowed. */
KELOSIM_API void kelosim_chip_set_count(int count);
/* Lists one more mode after the built-in ones; selecting it succeeds,
 * though no acquisition handler knows it. */
KELOSIM_API void kelosim_chip_add_mode(const char* id);
/* Whether the threshold is calibrated in keV (default 1); uncalibrated,
 * its keV getters and setter fail with -2 and only the raw ones work. */
KELOSIM_API void kelosim_chip_set_calibrated(int calibrated);

#ifdef __cplusplus
}
#endif
#endif
