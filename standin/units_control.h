/* Control of the simulated unit controls: bias supplies, cooling units,
 * boards, trigger and external synchronisation. */
#ifndef KELOSIM_UNITS_CONTROL_H
#define KELOSIM_UNITS_CONTROL_H

#include "control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Moves the cooling clock on by `seconds`: every cooling unit's actual
 * temperature then is what it would be that much later. Reset sets it back. */
KELOSIM_API void kelosim_units_advance(double seconds);

#ifdef __cplusplus
}
#endif
#endif
