"""A plain-Python stream_log doing the same work as the native one, used as
the yardstick in the benchmarks (context lookup, host log call, entry build,
publication through a module-level function)."""

import json
import os
import threading
from datetime import datetime, timezone

_context = threading.local()


def get_stream_context():
    return {
        "node_id": getattr(_context, "node_id", None),
        "workflow_id": getattr(_context, "workflow_id", None),
        "job_id": getattr(_context, "job_id", None),
    }


def set_stream_context(node_id=None, workflow_id=None, job_id=None):
    _context.node_id = node_id
    _context.workflow_id = workflow_id
    _context.job_id = job_id


def _publish_to_redis(log_entry):
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    client = redis.Redis(host=os.getenv("REDIS_HOST", "localhost"), port=int(os.getenv("REDIS_PORT", "18003")),
                         decode_responses=True, socket_connect_timeout=0.25, socket_timeout=0.25,
                         retry=Retry(NoBackoff(), 0), protocol=2)
    client.publish("zentrel:logs", json.dumps(log_entry, default=str))
    client.close()
    return True


def stream_log(message, level="info", source="node", node_id=None, workflow_id=None, job_id=None, progress=None,
               component=None, **metadata):
    if progress is not None:
        progress = float(progress)
    from zentrel_core.logger import log_message

    log_message(message, level)
    ctx = get_stream_context()
    node_id = node_id or ctx.get("node_id")
    workflow_id = workflow_id or ctx.get("workflow_id")
    job_id = job_id or ctx.get("job_id")
    entry = {
        "timestamp": datetime.now(timezone.utc).isoformat().replace("+00:00", "Z"),
        "source": source,
        "level": level.lower(),
        "message": message,
    }
    if node_id:
        entry["node_id"] = node_id
    if workflow_id:
        entry["workflow_id"] = workflow_id
    if job_id:
        entry["job_id"] = job_id
    if progress is not None:
        entry["progress"] = progress
    if component:
        entry["component"] = component
    if metadata:
        entry["metadata"] = metadata
    _publish_to_redis(entry)
