"""Cost of data delivery through the binding, on the simulated device.

    python bench/bench_acquisition.py

Prints figures, asserts nothing. A delivery's cost is the time the library's
delivering thread spends in the handler (the simulation's getters, the
interpreter lock, the arrays and the metadata, the call of an empty
callable), measured natively around each handler call; the figure is the
median of many.
"""

import statistics
import time

import kelosdk.acquisition as acquisition
import kelosdk.kelo as kelo
from kelosdk.standin import sim

DD = "0:tpx3-dd-toa-tot"
COUNT = 20000


def median_us(s, count=COUNT, rounds=3):
    """Median handler time in us of `count` deliveries on one native thread;
    the lowest of a few rounds, as other processes only ever add."""
    return min(statistics.median(s.fire("ch0", count, threads=1, timings=True)[1]) for _ in range(rounds)) / 1000


def per_delivery(s, dev, mode, size=64, callable_=lambda *a: None):
    s.set_delivery_size(size)
    dev.chip.selectMode(mode)
    dev.acq.setDataCallback("ch0", callable_)
    return median_us(s, COUNT if size <= 65536 else 2000)


def hits_per_second(s, dev, f):
    """Hits a second of one 1 s acquisition of replayed 64k-hit deliveries."""
    s.set_delivery_size(65536)
    s.set_rate(0)
    s.set_replay(True)
    dev.chip.selectMode(DD)
    dev.acq.setDataCallback("ch0", f)
    before = s.deliveries()
    t0 = time.perf_counter()
    dev.acq.begin("ch0")
    dev.acq.end("ch0")
    elapsed = time.perf_counter() - t0
    s.set_replay(False)
    return (s.deliveries() - before) * 65536 / elapsed


def main():
    s = sim()
    s.reset()
    dev = kelo.Device()
    dev.open(dev.enumerate()[0].connectionString)

    print("binding cost per delivery, 64 hits, empty callable, one native thread (median, us)")
    for mode in dev.chip.getModeIds():
        print(f"  {mode:28s} {per_delivery(s, dev, mode):7.2f}")
    dev.acq.setRawDataCallback("ch0", lambda a: None)
    print(f"  {'raw registration':28s} {median_us(s):7.2f}")
    dev.chip.selectMode(DD)
    dev.acq.setDataCallback("ch0", lambda d, m: None)
    dev.finalize()  # the record is released: getters and lock, nothing built
    print(f"  {'dd, record released':28s} {median_us(s):7.2f}")

    print(f"\n{DD}: cost against delivery size (median, us)")
    for size in (1, 1000, 65536, 1 << 20):
        print(f"  {size:8d} hits {per_delivery(s, dev, DD, size):7.2f}")

    print(f"\n{DD}: thread state per library thread against per delivery (median, us)")
    for keep in (True, False):
        acquisition._keepThreadStates(keep)
        label = "kept per library thread" if keep else "new per delivery"
        print(f"  {label:28s} {per_delivery(s, dev, DD):7.2f}")
    acquisition._keepThreadStates(True)

    dev.trigger.setShutterDuration(1.0)
    total = [0]

    def sum_tot(data, meta):
        total[0] += int(data["tot"].sum())

    print(f"\n{DD}: 64k-hit deliveries for 1 s, as fast as taken")
    print(f"  empty callable     {hits_per_second(s, dev, lambda d, m: None) / 1e6:9.1f} Mhits/s")
    print(f"  summing the ToTs   {hits_per_second(s, dev, sum_tot) / 1e6:9.1f} Mhits/s")

    dev.close()
    dev.finalize()


if __name__ == "__main__":
    main()
