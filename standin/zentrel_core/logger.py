"""Stand-in for the engine's logger: log_message writes to Python logging."""
import logging

_logger = logging.getLogger("zentrel_core")

_LEVELS = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "warning": logging.WARNING,
    "error": logging.ERROR,
}


def log_message(message: str, level: str = "info") -> None:
    """Write one line to the host log at the given level name."""
    _logger.log(_LEVELS.get(str(level).lower(), logging.INFO), message)
