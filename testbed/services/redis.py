"""redis-server on loopback, without persistence."""

from __future__ import annotations

import shutil
import socket

from .. import procs


def start(bed) -> None:
    (bed.redis_port,) = procs.free_ports(1)
    rdir = bed.root / "redis"
    rdir.mkdir()
    bed.daemons.spawn("redis", [
        shutil.which("redis-server") or "/usr/bin/redis-server",
        "--port", str(bed.redis_port), "--bind", "127.0.0.1",
        "--save", "", "--appendonly", "no", "--daemonize", "no",
        "--dir", str(rdir), "--protected-mode", "yes",
    ], ready=lambda: _pong(bed.redis_port), what="PONG")


def _pong(port: int) -> bool:
    with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
        s.sendall(b"PING\r\n")
        return s.recv(64).startswith(b"+PONG")
