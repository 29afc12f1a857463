"""Bias supplies, cooling units, boards, trigger and synchronisation."""

import ctypes


class Units:
    """Control of the simulated units part (mixed into Sim)."""

    def advance_cooling(self, seconds):
        """Move the cooling clock on: every cooling unit's actual temperature
        becomes what it would be `seconds` later (reset sets the clock back)."""
        self.fn("kelosim_units_advance", [ctypes.c_double])(seconds)
