import subprocess
import sys

import numpy as np
import pytest

import kelosdk.configuration as configuration
from kelosdk.errors import KeloSdkError, KeloSdkInternalException, KeloSdkInvalidArgumentError, KeloSdkInvalidOperationError

SPACES = " " * 17


@pytest.fixture
def config(opened):
    return opened.config


@pytest.fixture
def small(sim, config):
    """A 4 x 3 matrix: not square, so a transposed layout shows."""
    sim.mask_size(4, 3)
    return config


def distinct(w, h):
    return np.arange(w * h, dtype=np.uint8).reshape(w, h)


def test_mask_size_record(config, sim):
    size = config.getMaskSize()
    assert size == configuration.PixelMaskDimensions(width=512, height=512)
    assert type(size).__module__ == "kelosdk.configuration"
    assert type(size).__doc__.startswith("Contains dimensions of pixel mask.")
    sim.mask_size(256, 128)
    assert tuple(config.getMaskSize()) == (256, 128)


def test_get_mask_is_a_column_major_view(small, sim):
    small.load("xml", '<configuration><mask><pixel x="3" y="1"/></mask></configuration>')
    mask = small.getMask()
    assert mask.shape == (4, 3) and mask.dtype == np.uint8
    assert not mask.flags.owndata and mask.base is not None
    assert np.argwhere(mask).tolist() == [[3, 1]]
    w, h, stored = sim.device_mask()
    assert (w, h) == (4, 3) and stored[3 * 3 + 1] == 1 and sum(stored) == 1
    (call,) = sim.calls("kelo_get_pixel_mask")
    assert call.args[1] == 12


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: np.asfortranarray(a),  # flatten() still yields [x, y] order
        lambda a: a[:, ::-1][:, ::-1],  # a strided view
    ],
)
def test_set_mask_sends_x_major_bytes(small, sim, make):
    mask = distinct(4, 3)
    small.setMask(make(mask))
    assert sim.device_mask()[2] == bytes(mask.ravel())
    assert np.array_equal(small.getMask(), mask)


def test_round_trip_and_any_shape_of_the_right_count(small, sim):
    small.setMask(distinct(4, 3))
    before = sim.device_mask()[2]
    small.setMask(small.getMask())
    assert sim.device_mask()[2] == before
    other = np.arange(12, dtype=np.uint8)[::-1].reshape(3, 4)  # (H, W): only the count is checked
    small.setMask(other)
    assert sim.device_mask()[2] == other.tobytes()


def test_mask_count_mismatch(config, sim):
    sim.mask_size(256, 256)
    with pytest.raises(KeloSdkInternalException) as e:
        config.setMask(np.zeros(100, dtype=np.uint8))
    assert str(e.value) == f"Provided mask size (== 100) !={SPACES}expected mask size (== 65536)"
    assert sim.calls("kelo_set_pixel_mask") == []


def test_library_reports_another_real_size(config, sim):
    sim.mask_size(256, 256)
    sim.script("kelo_get_pixel_mask", 0, 65535)
    with pytest.raises(KeloSdkInternalException) as e:
        config.getMask()
    assert str(e.value) == f"Pixel mask real size (== 65535) !={SPACES}expected size (== 65536)"


@pytest.mark.parametrize(
    "mask, exc",
    [
        ([[0] * 512] * 512, AttributeError),
        (np.zeros((512, 512), dtype=np.int64), ValueError),
        (np.zeros((512, 512), dtype=np.int8), ValueError),
        (np.zeros((512, 512), dtype=bool), ValueError),
    ],
)
def test_set_mask_refuses_other_objects(config, sim, mask, exc):
    with pytest.raises(exc):
        config.setMask(mask)
    assert sim.calls("kelo_set_pixel_mask") == []


@pytest.mark.parametrize("w, h", [(0, 256), (256, 0)])
def test_empty_mask(config, sim, w, h):
    sim.mask_size(w, h)
    for act in (config.getMask, lambda: config.setMask(np.zeros((w, h), dtype=np.uint8))):
        with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
            act()
    assert sim.calls("kelo_get_pixel_mask") == [] and sim.calls("kelo_set_pixel_mask") == []


def test_failures_raise_with_the_library_text(config, sim):
    sim.fail("kelo_get_pixel_mask_size", -6, "odd")
    with pytest.raises(KeloSdkError, match="^odd$") as e:
        config.getMaskSize()
    assert e.value.status == -6
    sim.fail("kelo_set_pixel_mask", -2, "busy")
    with pytest.raises(KeloSdkInvalidOperationError, match="^busy$"):
        config.setMask(config.getMask())
    sim.fail("kelo_load_configuration", -1, "gone")
    with pytest.raises(KeloSdkInternalException, match="^gone$"):
        config.load("xml", "<configuration/>")


class Utf8Bytearray(str):
    def encode(self, *args):
        assert args == ("utf-8",)
        return bytearray(str(self), "utf-8")


def test_load_passes_both_texts_utf8(config, sim):
    doc = "# \u00b5-mask\nmask:\n  - [1, 2]\n"
    config.load(Utf8Bytearray("yml"), content=doc)
    (call,) = sim.calls("kelo_load_configuration")
    assert call.args == ("yml", doc) and call.gil == 0


@pytest.mark.parametrize("args", [(b"xml", "<configuration/>"), ("xml", None), (None, "<configuration/>"), ("xml", 3)])
def test_load_refuses_non_str_before_the_library(config, sim, args):
    with pytest.raises(AttributeError):
        config.load(*args)
    assert sim.calls("kelo_load_configuration") == []


XML_DOC = """<?xml version="1.0"?>
<!-- two pixels masked, one unmasked again -->
<configuration>
  <mask>
    <pixel x="10" y="20"/>
    <pixel x='11' y='20' masked="1"></pixel>
    <pixel x="10" y="20" masked="0"/>
    <pixel x="511" y="0"/>
  </mask>
</configuration>
"""

YML_DOC = """---
# two pixels masked, one unmasked again
mask:
  - [10, 20]
  - [11, 20, 1]   # explicit
  - [10, 20, 0]
  - ["511", 0]
"""


@pytest.mark.parametrize("kind, doc", [("xml", XML_DOC), ("yml", YML_DOC)])
def test_documents_set_mask_entries(config, kind, doc):
    config.load(kind, doc)
    assert np.argwhere(config.getMask()).tolist() == [[11, 20], [511, 0]]


BAD = [
    ("json", "{}", KeloSdkInvalidArgumentError, r"^unknown configuration type 'json' \(known: xml, yml\)$"),
    ("xml", "", KeloSdkInvalidArgumentError, "^xml document, line 1: the document is empty$"),
    ("xml", "<configuration>\n<mask>\n<pixel x='1' y='1'/>\n</mask>", KeloSdkInvalidArgumentError, r"line 1: <configuration> is not closed"),
    ("xml", "<configuration>\n<mask>\n</masks>\n</configuration>", KeloSdkInvalidArgumentError, "line 3: </masks> closes <mask> of line 2"),
    ("xml", "<configuration>\n<mask><pixel x='1' y='1'/><pixel x='1'/></mask>\n</configuration>", KeloSdkInvalidArgumentError,
     "line 2: <pixel> needs the attributes x and y"),
    ("xml", "<configuration>\n<mask><pixel x='1' y='1'/>\n<pixel x='512' y='0'/></mask></configuration>", KeloSdkInvalidArgumentError,
     r"line 3: pixel \(512, 0\) is outside the 512 x 512 matrix"),
    ("xml", "<configuration>\n<mask><pixel x='1' y='1'/></mask>\n<chip index='x'/></configuration>", KeloSdkInvalidArgumentError,
     "line 3: a chip index must be an integer, not 'x'"),
    ("xml", "<configuration>\n<mask><pixel x='1' y='1'/></mask>\n<bias/></configuration>", KeloSdkInvalidArgumentError,
     r"line 3: unknown element <bias> in <configuration>"),
    ("xml", "<configuration>\n<chip>\n<polarity>sideways</polarity></chip></configuration>", KeloSdkInvalidArgumentError,
     "line 3: polarity must be positive or negative, not 'sideways'"),
    ("xml", "<configuration><mask><pixel x='1' y='1'/></mask>\n<chip><dac name='NoSuchDac'>1</dac></chip></configuration>",
     KeloSdkInvalidArgumentError, "^xml document, line 2: "),
    ("xml", "<a>" * 40 + "</a>" * 40, KeloSdkInvalidArgumentError, "nested too deep"),
    ("yml", "mask:\n  - [1, 1]\n  - [1]\n", KeloSdkInvalidArgumentError, r"^yml document, line 3: expected '- \[x, y\]'"),
    ("yml", "mask:\n  - [1, 1]\n\tbad: 1\n", KeloSdkInvalidArgumentError, "line 3: indentation must be spaces, not tabs"),
    ("yml", "mask:\n    - [1, 1]\n  - [2, 2]\n", KeloSdkInvalidArgumentError, "line 3: indentation does not match the lines above"),
    ("yml", "mask:\n  - [1, 1]\nchips:\n  all:\n    dac:\n      X: abc\n", KeloSdkInvalidArgumentError,
     "line 6: a dac value must be an integer, not 'abc'"),
    ("yml", "mask:\n  - [1, 1]\nchips:\n  all:\n    gain: 3\n", KeloSdkInvalidArgumentError, "line 5: unknown setting 'gain'"),
    ("yml", "mask:\n  - [1, 1]\ncolour: blue\n", KeloSdkInvalidArgumentError, r"line 3: unknown key 'colour' \(expected chips or mask\)"),
    ("yml", "mask:\n  - [1, 1]\nchips:\n  0:\n    dac:\n      NoSuchDac: 1\n", KeloSdkInvalidArgumentError, "^yml document, line 6: "),
    ("yml", "just text\n", KeloSdkInvalidArgumentError, "line 1: expected 'key: value' or '- item', got 'just text'"),
]


@pytest.mark.parametrize("kind, doc, exc, message", BAD)
def test_bad_documents_change_nothing(config, sim, kind, doc, exc, message):
    config.load("yml", "mask:\n  - [7, 7]\n")
    before = sim.device_mask()
    with pytest.raises(exc, match=message) as e:
        config.load(kind, doc)
    assert e.value.status == -3
    assert sim.device_mask() == before


def test_documents_need_an_open_device(dev):
    with pytest.raises(KeloSdkInvalidOperationError, match="no device is open"):
        dev.config.load("yml", "mask:\n  - [1, 1]\n")


def test_chip_settings_from_documents(opened):
    chip = opened.chip
    dac = chip.getDacIds()[0]
    low, high = chip.getDacLimits(dac)
    opened.config.load("yml", f"chips:\n  all:\n    dac:\n      {dac}: {low}\n    polarity: negative\n")
    assert chip.getDacValue(dac) == low and chip.getPolarity(0).name == "negative"
    refused = f'<configuration><chip><dac name="{dac}">{high}</dac>\n<dac name="{dac}">{high + 1}</dac></chip></configuration>'
    with pytest.raises(KeloSdkInvalidArgumentError, match="^xml document, line 2: "):
        opened.config.load("xml", refused)
    assert chip.getDacValue(dac) == low  # the valid first setting was not applied either


def test_masked_pixels_give_no_hits(opened):
    mask = np.ones((512, 512), dtype=np.uint8)
    mask[5, :] = 0  # only the column x = 5 stays
    opened.config.setMask(mask)
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    channel = opened.acq.getChannelIds()[0]
    addresses = []
    opened.acq.setDataCallback(channel, lambda data, *meta: addresses.extend(data["address"].tolist()))
    opened.acq.begin(channel)
    opened.acq.end(channel)
    assert addresses and {a % 512 for a in addresses} == {5}


def test_numpy_interface_failure_fails_the_import():
    code = (
        "import sys, numpy\n"
        "sys.modules['numpy._core._multiarray_umath'] = sys.modules['numpy.core._multiarray_umath'] = None\n"
        "try:\n    import kelosdk.configuration\nexcept ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True, cwd="/")
    assert out.stdout == "numpy._core.multiarray failed to import\n"
