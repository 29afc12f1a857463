"""Driver of the simulated device library, for tests and for trying programs
without hardware.

    from kelosdk.standin import sim
    s = sim()
    s.fail("kelo_dev_open", -3, "no such device")

The simulated library answers the binding like a real device; this package
reaches its control interface through ctypes. It works only while the
simulated library is the one loaded.
"""

from .core import Call, Core, Keep, Null, Ptr, library_path
from .chip import Chip
from .acquisition import Acquisition
from .configuration import Configuration
from .monitor import Monitor
from .memory import Memory
from .units import Units
from .info import Info

__all__ = ["Call", "Keep", "Null", "Ptr", "Sim", "library_path", "sim"]


class Sim(Core, Chip, Acquisition, Configuration, Monitor, Memory, Units, Info):
    """The control interface of the loaded simulated library."""


_sim = None


def sim():
    """The driver of the loaded simulated library (made once)."""
    global _sim
    if _sim is None:
        _sim = Sim()
    return _sim
