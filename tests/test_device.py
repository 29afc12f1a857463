"""Device: construction, attributes, open/close, finalizer, lifetime, context manager."""

import gc
import pickle
import subprocess
import sys
import textwrap
import threading

import pytest

import kelosdk.bias
import kelosdk.chip
import kelosdk.context
import kelosdk.kelo as kelo
from kelosdk import errors

FUNCTIONAL = ["bias", "board", "chip", "config", "monitor", "trigger", "tandem", "cooling", "acq", "revisions", "props", "regbus", "persist"]
TYPE_NAMES = {
    "bias": "kelosdk.bias.__Bias",
    "board": "kelosdk.board.__Board",
    "chip": "kelosdk.chip.__Chip",
    "config": "kelosdk.configuration.__Configuration",
    "monitor": "kelosdk.monitor.__Monitor",
    "trigger": "kelosdk.trigger.__Trigger",
    "tandem": "kelosdk.tandem.__Tandem",
    "cooling": "kelosdk.cooling.__Cooling",
    "acq": "kelosdk.acquisition.__Acquisition",
    "revisions": "kelosdk.revisions.__Revisions",
    "props": "kelosdk.identity.__Identity",
    "regbus": "kelosdk.regbus.__Regbus",
    "persist": "kelosdk.persist.__Persist",
}


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout)


def test_import_order_and_reinit_refused():
    r = run_python(
        """
        import sys
        seen = []
        class Spy:
            def find_spec(self, name, path=None, target=None):
                if name.startswith("kelosdk."):
                    seen.append(name[8:])
        sys.meta_path.insert(0, Spy())
        import kelosdk.kelo
        print(",".join(dict.fromkeys(seen)))
        del sys.modules["kelosdk.bias"]
        try:
            import kelosdk.bias
        except RuntimeError as e:
            print(e)
        """
    )
    assert r.returncode == 0, r.stderr
    order, refusal = r.stdout.splitlines()
    assert order.split(",") == ["kelo", "context", "errors", "trigger", "configuration", "board", "bias", "acquisition", "chip",
                                "monitor", "tandem", "cooling", "revisions", "identity", "regbus", "persist"]
    assert refusal == "Module 'bias' has already been imported. Re-initialisation is not supported."
    assert "Warning" not in r.stderr


def test_construction_order(sim):
    d = kelo.Device(1, x=2)  # arguments are ignored
    assert sim.names()[:2] == ["kelo_ctx_new", "kelo_log_set_func"]
    assert sim.log_format() == (0, 0, 0, 1)
    assert sim.calls("kelo_log_set_func")[0].gil == 1
    for attr in FUNCTIONAL:
        assert type(getattr(d, attr)).__module__ + "." + type(getattr(d, attr)).__qualname__ == TYPE_NAMES[attr]
    d.finalize()


def test_functional_objects_share_one_context(sim):
    d = kelo.Device()
    chip = d.chip
    del d
    gc.collect()
    assert sim.live_contexts() == 1  # chip keeps the library context
    del chip
    gc.collect()
    assert sim.live_contexts() == 0
    assert sim.names().count("kelo_ctx_delete") == 1


@pytest.mark.parametrize("attr", FUNCTIONAL)
def test_attribute_typing(dev, attr):
    obj = getattr(dev, attr)
    setattr(dev, attr, None)
    assert getattr(dev, attr) is None
    with pytest.raises(TypeError) as e:
        setattr(dev, attr, 5)
    assert str(e.value) == f"Cannot convert int to {TYPE_NAMES[attr]}"
    setattr(dev, attr, obj)
    assert getattr(dev, attr) is obj
    delattr(dev, attr)
    assert getattr(dev, attr) is None
    assert type(obj).__name__ in type(dev).__dict__[attr].__doc__


def test_attribute_refuses_other_functional_type(dev):
    with pytest.raises(TypeError, match="Cannot convert kelosdk.chip.__Chip to kelosdk.bias.__Bias"):
        dev.bias = dev.chip
    assert type(dev.bias).__name__ == "__Bias"


def test_open_close_is_opened(dev, sim):
    assert dev.isOpened() is False
    dev.open("sim://kelo-0")
    assert dev.isOpened() is True
    dev.close()
    assert dev.isOpened() is False
    dev.open(locator="sim://kelo-0")  # a closed device opens again
    calls = {c.name: c for c in sim.calls()}
    assert calls["kelo_dev_open"].args == ("sim://kelo-0",)
    assert all(calls[n].gil == 0 for n in ("kelo_dev_open", "kelo_dev_close", "kelo_dev_is_opened"))


@pytest.mark.parametrize(
    "status, exc",
    [(-1, errors.KeloSdkInternalException), (-2, errors.KeloSdkInvalidOperationError), (-3, errors.KeloSdkInvalidArgumentError),
     (-4, errors.KeloSdkNoMemoryException), (-5, errors.KeloSdkPointerException), (-6, errors.KeloSdkError), (-100, errors.KeloSdkError)],
)
def test_failure_status_raises_mapped_type(dev, sim, status, exc):
    sim.fail("kelo_dev_open", status, "the text")
    with pytest.raises(exc) as e:
        dev.open("sim://kelo-0")
    assert type(e.value) is exc and e.value.args == ("the text",) and e.value.status == status
    assert isinstance(e.value, errors.KeloSdkError)
    assert dev.isOpened() is False
    # the message is fetched after the call, with the lock held
    names = sim.names()
    i = names.index("kelo_dev_open")
    assert names[i + 1] == "kelo_ctx_get_last_error" and sim.calls("kelo_ctx_get_last_error")[-1].gil == 1


@pytest.mark.parametrize("status", [0, 1, 102, 103, 7])
def test_non_negative_status_is_success(dev, sim, status):
    sim.script("kelo_dev_open", status)
    assert dev.open("sim://kelo-0") is None


@pytest.mark.parametrize("text, expected", [(None, ""), ("", ""), ("plain", "plain"), ("ünïcödé", "ünïcödé")])
def test_last_error_texts(dev, sim, text, expected):
    sim.fail("kelo_dev_close", -2, text)
    with pytest.raises(errors.KeloSdkInvalidOperationError) as e:
        dev.close()
    assert e.value.args == (expected,)


def test_last_error_invalid_utf8(dev, sim):
    sim.fail("kelo_dev_close", -2, b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        dev.close()


class Encodes(str):
    def __new__(cls, result):
        s = super().__new__(cls, "x")
        s.result = result
        return s

    def encode(self, *args):
        return self.result


@pytest.mark.parametrize(
    "locator, exc, message",
    [
        (b"sim://kelo-0", AttributeError, "'bytes' object has no attribute 'encode'"),
        (5, AttributeError, "'int' object has no attribute 'encode'"),
        (Encodes(None), TypeError, "expected bytes, NoneType found"),
        (Encodes(bytearray(b"x")), TypeError, "Expected bytes, got bytearray"),
        (Encodes(17), TypeError, "Expected bytes, got int"),
        ("\udc80", UnicodeEncodeError, None),
    ],
    ids=["bytes", "int", "none", "bytearray", "int-result", "surrogate"],
)
def test_open_locator_conversion(dev, sim, locator, exc, message):
    with pytest.raises(exc) as e:
        dev.open(locator)
    if message:
        assert str(e.value) == message
    assert "kelo_dev_open" not in sim.names()


def test_open_cut_at_nul_and_argument_errors(dev, sim):
    dev.open("sim://kelo-0\0junk")  # the library sees the text up to the NUL
    assert sim.calls("kelo_dev_open")[-1].args == ("sim://kelo-0",)
    dev.close()
    sim.clear_calls()
    for bad in [lambda: dev.open(), lambda: dev.open("a", "b"), lambda: dev.open(where="a"), lambda: dev.close(1), lambda: dev.isOpened(x=1)]:
        with pytest.raises(TypeError):
            bad()
    assert sim.names() == []


def test_lock_released_during_call(dev, sim):
    sim.block("kelo_dev_open")
    done = []
    t = threading.Thread(target=lambda: done.append(dev.open("sim://kelo-0")))
    t.start()
    assert sim.wait_blocked("kelo_dev_open")
    # this thread runs Python while the other is inside the library
    assert sum(range(1000)) == 499500 and not done
    sim.release("kelo_dev_open")
    t.join(10)
    assert done == [None]
    assert sim.calls("kelo_dev_open")[0].gil == 0


def test_finalizer_closes_open_device(sim):
    d = kelo.Device()
    d.open("sim://kelo-0")
    del d
    gc.collect()
    assert "kelo_dev_close" in sim.names()
    sim.clear_calls()
    d = kelo.Device()
    del d
    gc.collect()
    names = sim.names()
    assert "kelo_dev_is_opened" in names and "kelo_dev_close" not in names


def test_finalizer_uses_overrides_and_reports_failures(sim, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, type(u.exc_value))))

    class Mine(kelo.Device):
        def isOpened(self):
            return True

        def close(self):
            raise ValueError("no")

    d = Mine()
    del d
    gc.collect()
    assert seen == [("kelosdk.kelo.Device.__del__", ValueError)]


def test_finalizer_failure_of_library(sim, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, u.exc_value)))
    d = kelo.Device()
    d.open("sim://kelo-0")
    sim.fail("kelo_dev_close", -1, "stuck")
    try:
        raise KeyError("pending")
    except KeyError:
        del d
        gc.collect()
        assert sys.exc_info()[0] is KeyError  # the pending state survives
    assert [(o, type(e), e.args) for o, e in seen] == [("kelosdk.kelo.Device.__del__", errors.KeloSdkInternalException, ("stuck",))]


def test_cycle_collected(sim):
    class Mine(kelo.Device):
        pass

    d = Mine()
    d.me = d
    del d
    gc.collect()
    assert sim.live_contexts() == 0


def test_failed_construction_is_destroyed(sim, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    class Broken(kelo.Device):
        def _Device__setLogger(self):
            raise RuntimeError("logger")

    with pytest.raises(RuntimeError, match="logger"):
        Broken()
    gc.collect()
    assert sim.live_contexts() == 0 and seen == []


def test_null_context(sim, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, type(u.exc_value))))
    sim.script("kelo_ctx_new", -1)
    d = kelo.Device()
    with pytest.raises(errors.KeloSdkPointerException):
        d.open("sim://kelo-0")
    d.finalize()
    del d
    gc.collect()
    # the null handle goes to the library, which refuses it; it is never deleted
    assert seen == [("kelosdk.kelo.Device.__del__", errors.KeloSdkPointerException)]
    assert "kelo_ctx_delete" not in sim.names()


def test_context_delete_failure_reported(sim, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, type(u.exc_value), u.exc_value.args)))
    c = kelosdk.context._Context(1, x=2)
    sim.fail("kelo_ctx_delete", -2, "busy")
    del c
    gc.collect()
    assert seen == [("kelosdk.context._Context.__dealloc__", errors.KeloSdkInvalidOperationError, ("busy",))]
    assert sim.live_contexts() == 0  # freed anyway


def test_pickling_refused(dev):
    objs = [dev, kelosdk.context._Context()] + [getattr(dev, a) for a in FUNCTIONAL]
    for obj in objs:
        for attempt in (lambda: pickle.dumps(obj), lambda: obj.__reduce__(), lambda: obj.__setstate__({})):
            with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
                attempt()


def test_functional_constructor_contract(sim):
    ctx = kelosdk.context._Context()
    assert type(kelosdk.bias.__dict__["__Bias"](ctx)).__name__ == "__Bias"
    assert type(kelosdk.bias.__dict__["__Bias"](ctx=None)).__name__ == "__Bias"

    class SubContext(kelosdk.context._Context):
        pass

    kelosdk.chip.__dict__["__Chip"](SubContext())
    with pytest.raises(TypeError, match="^Cannot convert int to kelosdk.context._Context$"):
        kelosdk.bias.__dict__["__Bias"](5)
    for args, kwargs in [((), {}), ((ctx, ctx), {}), ((), {"context": ctx})]:
        with pytest.raises(TypeError):
            kelosdk.bias.__dict__["__Bias"](*args, **kwargs)
    acq_type = kelosdk.acquisition.__dict__["__Acquisition"]
    with pytest.raises(TypeError, match="^Cannot convert int to kelosdk.chip.__Chip$"):
        acq_type(ctx, 5)
    acq_type(ctx=ctx, chip=None)


def test_context_manager(sim):
    with kelo.Device() as d:
        d.open("sim://kelo-0")
    assert d.isOpened() is False
    with pytest.raises(KeyError):
        with kelo.Device() as d:
            raise KeyError("kept")


def test_versions(sim):
    v = kelo.getCompileTimeVersion()
    assert v == (0, 2, 3) and v._fields == ("major", "minor", "patch") and type(v).__name__ == "SdkVersion"
    assert kelo.getRuntimeVersion() == (0, 2, 3)
    sim.script("kelo_version", 0, 1, 4, 7)
    assert kelo.getRuntimeVersion() == kelo.SdkVersion(1, 4, 7)
    assert sim.calls("kelo_version")[-1].gil == 1


def test_throw_kelo_error():
    for status, exc in [(-1, errors.KeloSdkInternalException), (-5, errors.KeloSdkPointerException), (102, errors.KeloSdkRegbusException),
                        (-42, errors.KeloSdkError)]:
        with pytest.raises(exc) as e:
            errors._throwKeloError(status, "getBoardCount")
        assert e.value.status == status and "getBoardCount" in str(e.value)
    assert errors._throwKeloError(0, "x") is None
    assert errors._throwKeloError(101, "x") is None
