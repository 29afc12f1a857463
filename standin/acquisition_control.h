/* Control interface of the simulated acquisition engine.
 *
 * The device has a matrix of 2x2 chips of 256x256 pixels: pixel (x, y),
 * 0 <= x, y < 512, has the address y * 512 + x. ToAs are ticks of 1.5625 ns
 * counted from the shutter's rising edge time, ToTs 10-bit counts. Frames
 * hold 256x256 16-bit counts, one frame per chip (chip = y / 256 * 2 +
 * x / 256, pixel (y % 256) * 256 + x % 256). Raw data is one 64-bit word a
 * hit: 0xB (4 bits), chip (4), y % 256 (8), x % 256 (8), ToA (30), ToT (10).
 * Binned modes deliver one scan line a delivery: `width` bins of
 * `dwell_time` ns each. All functions are thread-safe. */
#ifndef KELOSIM_ACQUISITION_CONTROL_H
#define KELOSIM_ACQUISITION_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Acquisition channels, in order (default "ch0", "ch1"). */
KELOSIM_API void kelosim_acq_channels_clear(void);
KELOSIM_API void kelosim_acq_channel_add(const char* id, size_t len);

/* Pacing: hits a second (<= 0: as fast as possible, default 2e6) and hits
 * a delivery (default 4096). */
KELOSIM_API void kelosim_acq_set_rate(double hits_per_second);
KELOSIM_API void kelosim_acq_set_delivery_size(uint64_t hits);
/* Replay: one delivery made at begin is delivered again and again. */
KELOSIM_API void kelosim_acq_set_replay(int on);
KELOSIM_API void kelosim_acq_set_seed(uint64_t seed);

/* Handler calls made since the last reset. */
KELOSIM_API uint64_t kelosim_acq_deliveries(void);

/* Calls the handler registered for `channel`, in every live context that
 * has one, `count` times: on the caller's thread (threads 0) or on each of
 * `threads` new native threads, all started at once and joined before
 * return. The data is one delivery of the mode that was selected when the
 * handler was registered; scripted getters answer instead where scripted.
 * `ns`, if not null, receives the duration of each call of the first such
 * handler: count * max(threads, 1) values. Returns the number of calls. */
KELOSIM_API uint64_t kelosim_acq_fire(const char* channel, uint64_t count, int threads, double* ns);

#ifdef __cplusplus
}
#endif
#endif
