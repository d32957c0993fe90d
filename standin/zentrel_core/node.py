"""Stand-in for the engine's node module: Node, NodeException, NodeResult."""
import os
from typing import Any


class NodeException(Exception):
    """A node failure meant for the user: where it arose and what happened."""

    def __init__(self, origin: str, message: str) -> None:
        super().__init__(origin, message)
        self.origin = origin
        self.message = message

    def __str__(self) -> str:
        return f"[{self.origin}] {self.message}"


class NodeResult(dict[str, Any]):
    """Result of a node run (kept for compatibility; a plain dict)."""


class Node:
    """Base of all workflow nodes.

    node_id identifies the node in its workflow, node_key names its type;
    working_path (optional) is the workflow's working directory.
    """

    OPTIONS: dict[str, Any] = {}

    working_path: str

    def __init__(self, node_id: str, node_key: str | None = None, working_path: str | None = None) -> None:
        self.node_id = node_id
        self.node_key = node_key or type(self).__name__
        if working_path is not None:
            self.working_path = working_path

    def resolve_path(self, path: str) -> str:
        """Resolve a path against the workflow's working directory."""
        path = os.path.expanduser(str(path))
        base = getattr(self, "working_path", None)
        if base and not os.path.isabs(path):
            return os.path.join(base, path)
        return path
