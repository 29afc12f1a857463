"""Acquisition channels, the acquisition engine and scripted deliveries."""


class Acquisition:
    """Control of the simulated acquisition part (mixed into Sim)."""
