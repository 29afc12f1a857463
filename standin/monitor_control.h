/* Control of the simulated monitors, for tests and tools.
 *
 * Events go to the handlers registered on every live context. Scripts of the
 * kelo_mon_event_* getters (kelosim_script_begin) change what a handler
 * reads of an event; kelo_mon_datatype and kelo_mon_fetch_value_* scripts
 * change what the binding reads of a monitor. */
#ifndef KELOSIM_MONITOR_CONTROL_H
#define KELOSIM_MONITOR_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets monitor `id` to `value` (an int monitor rounds it) and fires its
 * value-change event, on the caller's thread or on a native thread (joined
 * before return). The warning and error flags follow from the monitor's
 * limits. An unavailable monitor keeps the value and fires nothing.
 * Returns the number of handlers called, or -3 for an unknown monitor. */
KELOSIM_API int kelosim_mon_set(const char* id, double value, int native);

/* Makes monitor `id` available (1) or unavailable (0), as its unit coming
 * back or going away, and fires its availability event (also when nothing
 * changed). Returns the number of handlers called, or -3. */
KELOSIM_API int kelosim_mon_available(const char* id, int available, int native);

/* Drift: every period_ms the values of the available monitors of each live
 * context wander and fire value-change events, on one native thread per
 * context. 0 (the default) stops the threads and waits for them. */
KELOSIM_API void kelosim_mon_drift(int period_ms);

#ifdef __cplusplus
}
#endif
#endif
