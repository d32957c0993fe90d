"""Loopback Redis, OpenSSH and single-node SLURM (with accounting) for
zentrel_core's tests and demo.

- ``bed``: the `Testbed` class, bring-up and teardown in order;
- ``services/``: one module per service (redis, account, sshd, munge,
  mariadb, slurmdbd, slurm), with their configuration files in ``templates/``;
- ``daemons``: starting, probing and stopping the daemons of one bed;
- ``reaper``: the record of what a bed started, and ending exactly that;
- ``procs``: reading /proc and running short commands.
"""

from .bed import Testbed
from .daemons import BedError
from .reaper import live_beds, reap_leftovers

__all__ = ["BedError", "Testbed", "live_beds", "reap_leftovers"]
