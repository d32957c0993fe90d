"""Stand-in for the engine's option parameters."""
from typing import Any


class Parameter:
    """A node option: its description, default and current value."""

    def __init__(self, label: str = "", default: Any = None, docstring: str = "", optional: bool = False,
                 value: Any = None) -> None:
        self.label = label
        self.default = default
        self.docstring = docstring
        self.optional = optional
        self.value = default if value is None else value

    def get_value(self) -> Any:
        return self.value

    def set_value(self, value: Any) -> None:
        self.value = value

    def __repr__(self) -> str:
        return f"{type(self).__name__}(label={self.label!r}, value={self.value!r})"


class SelectParameter(Parameter):
    def __init__(self, label: str = "", options: list[Any] | None = None, default: Any = None, docstring: str = "",
                 optional: bool = False, value: Any = None) -> None:
        super().__init__(label=label, default=default, docstring=docstring, optional=optional, value=value)
        self.options = list(options or [])


class StringParameter(Parameter):
    pass


class TextParameter(Parameter):
    pass


class BooleanParameter(Parameter):
    pass


class IntegerParameter(Parameter):
    pass
