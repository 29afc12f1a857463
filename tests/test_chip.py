import ctypes

import pytest

import kelosdk.chip as chipmod
from kelosdk.chip import BinningParams
from kelosdk.errors import KeloSdkInvalidArgumentError

MODES = ["0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec",
         "0:tpx3-dd-toa-tot-vec", "0:tpx3-dd-toa-tot", "0:tpx-medipix", "0:raw-data", "0:tpx3-sorted-dd-toa-tot",
         "0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"]


def mode_field(chip):
    """The 30 bytes of the chip's selected-mode field."""
    return ctypes.string_at(id(chip) + object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p), 30)


def test_modes_listed_and_selected(opened, sim):
    chip = opened.chip
    assert chip.getModeIds() == MODES
    chip.selectMode("0:tpx3-seq-itot-event-vec")
    chip.selectMode("0:tpx3-dd-toa-tot", BinningParams(256, 128, 1000))
    assert mode_field(chip).split(b"\0")[0] == b"0:tpx3-dd-toa-tot"
    assert sim.calls("kelo_chip_mode_select")[0].args == ("0:tpx3-seq-itot-event-vec",)
    assert sim.calls("kelo_chip_mode_select_ex")[0].args == ("0:tpx3-dd-toa-tot", 256, 128, 1000)
    with pytest.raises(KeloSdkInvalidArgumentError):
        chip.selectMode("x" * 30)
    assert mode_field(chip).split(b"\0")[0] == b"0:tpx3-dd-toa-tot"
