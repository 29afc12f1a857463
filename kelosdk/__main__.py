"""A short session on the first attached device: python -m kelosdk"""

import sys
import threading
import time

from kelosdk.kelo import Device, getCompileTimeVersion, getRuntimeVersion


def main():
    with Device() as dev:
        found = dev.enumerate()
        if not found:
            print("no device attached")
            return 1
        d = found[0]
        print(f"library {tuple(getRuntimeVersion())} (built for {tuple(getCompileTimeVersion())})")
        print(f"found {len(found)} device(s); opening {d.connectionString}")
        for name, value in d._asdict().items():
            print(f"  {name:16} {value}")
        dev.open(d.connectionString)

        props = dev.props
        vid, pid = props.getUsbVidPid()
        print(f"opened {props.getManufacturer()} {props.getProduct()} #{props.getSerialNumber()} ({vid:04x}:{pid:04x})")
        for component, version in dev.revisions.get().items():
            print(f"  {component:16} {version}")
        print(f"chips: {', '.join(dev.chip.getChipIds())}")

        hits = 0
        lock = threading.Lock()

        def on_data(packets, metadata):
            nonlocal hits
            with lock:
                hits += len(packets)

        seconds = 0.5
        channel = dev.acq.getChannelIds()[0]
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        dev.trigger.setShutterDuration(seconds)
        dev.acq.setDataCallback(channel, on_data)
        start = time.perf_counter()
        dev.acq.begin(channel)
        dev.acq.end(channel)
        elapsed = time.perf_counter() - start
        print(f"acquired {hits} hits on {channel} in {elapsed:.2f} s ({hits / elapsed:,.0f} hits/s)")
        dev.close()
        print("closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
