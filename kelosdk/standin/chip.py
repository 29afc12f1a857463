"""Chips, DACs, thresholds, polarity and acquisition modes."""

import ctypes


class Chip:
    """Control of the simulated chip part (mixed into Sim).

    The default device has four 256x256 Timepix3 chips, the Timepix3 DACs,
    one threshold "THL" (0.025 keV per raw step) and every acquisition mode
    the binding knows; kelosim_reset (Sim.reset) restores it.
    """

    def set_chip_count(self, count):
        """Give the device `count` chips (0 allowed)."""
        self.fn("kelosim_chip_set_count", [ctypes.c_int])(count)

    def add_mode(self, mode_id):
        """List one more acquisition mode after the built-in ones."""
        self.fn("kelosim_chip_add_mode", [ctypes.c_char_p])(mode_id.encode())

    def set_calibrated(self, calibrated=True):
        """Whether the threshold is calibrated in keV."""
        self.fn("kelosim_chip_set_calibrated", [ctypes.c_int])(1 if calibrated else 0)
