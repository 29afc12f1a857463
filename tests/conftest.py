import gc

import pytest

import kelosdk.kelo as kelo
from kelosdk.standin import sim as _sim


@pytest.fixture
def sim():
    """The simulated library, reset, recording calls."""
    s = _sim()
    s.reset()
    s.record(True)
    yield s
    s.reset()
    s.record(False)


@pytest.fixture
def dev(sim):
    """A Device on the simulated library, not opened."""
    d = kelo.Device()
    yield d
    try:
        if d.isOpened():
            d.close()
    except Exception:
        pass
    d.finalize()
    del d
    gc.collect()


@pytest.fixture
def opened(dev, sim):
    """A Device with the default simulated device open."""
    dev.open(dev.enumerate()[0].connectionString)
    sim.clear_calls()
    return dev
