"""Live log lines from node code to the user interface, through the Redis
channel "zentrel:logs" at REDIS_HOST (default "localhost") and REDIS_PORT
(default 18003); failed publications are DEBUG records on the logger
"zentrel_core.pulsewire"."""

import logging
import threading
from typing import Any

import requests

_context: threading.local
logger: logging.Logger
_CONNECT_TIMEOUT_S: float

def set_stream_context(node_id: str | None = None, workflow_id: str | None = None, job_id: str | None = None) -> None: ...
def get_stream_context() -> dict[str, str | None]: ...
def clear_stream_context() -> None: ...
def stream_log(
    message: str,
    level: str = "info",
    source: str = "node",
    node_id: str | None = None,
    workflow_id: str | None = None,
    job_id: str | None = None,
    progress: float | None = None,
    component: str | None = None,
    **metadata: Any,
) -> None: ...
def _publish_to_redis(log_entry: dict[str, Any]) -> bool: ...
def post_with_progress(
    url: str,
    json: dict[str, Any],
    headers: dict[str, str],
    timeout: int,
    node_id: str,
    service_name: str,
    cold_start_hint: str = "",
    progress_value: int = 10,
    update_interval: int = 30,
) -> requests.Response: ...
