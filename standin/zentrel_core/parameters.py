"""Stand-in for the engine's option parameters."""


class Parameter:
    """A node option: its description, default and current value."""

    def __init__(self, label="", default=None, docstring="", optional=False, value=None):
        self.label = label
        self.default = default
        self.docstring = docstring
        self.optional = optional
        self.value = default if value is None else value

    def get_value(self):
        return self.value

    def set_value(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}(label={self.label!r}, value={self.value!r})"


class SelectParameter(Parameter):
    def __init__(self, label="", options=None, default=None, docstring="", optional=False, value=None):
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
