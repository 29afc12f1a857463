"""Python control of pixel-detector readout devices.

Start with ``kelosdk.kelo.Device``.
"""
