/* Control of the simulated pixel mask, for tests and tools. */
#ifndef KELOSIM_CONFIGURATION_CONTROL_H
#define KELOSIM_CONFIGURATION_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the pixel matrix of every context (default 512 x 512: 2 x 2 chips
 * of 256 x 256). A mask of another size is cleared when next used. */
KELOSIM_API void kelosim_mask_size(size_t width, size_t height);

/* The pixel mask of the newest live context, column-major (element [x, y]
 * at x * height + y): copies at most cap bytes to buf, stores the size.
 * Returns the byte count of the mask; 0 without a live context. */
KELOSIM_API size_t kelosim_mask_read(uint8_t* buf, size_t cap, size_t* width, size_t* height);

#ifdef __cplusplus
}
#endif
#endif
