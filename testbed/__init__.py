"""Loopback Redis, OpenSSH and single-node SLURM for zentrel_core's tests and demo."""

from .services import BedError, Testbed, live_beds, reap_leftovers

__all__ = ["BedError", "Testbed", "live_beds", "reap_leftovers"]
