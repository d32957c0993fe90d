"""Runs code in a second, legacy (non-isolated) interpreter of the current
process with the API the running Python has: `_xxsubinterpreters` on 3.12,
`_interpreters` on 3.13 (which renamed it and reports failures as a result
instead of an exception).  Imported by the test scripts that run in a child
process."""


def run_in_second_interpreter(code: str) -> str | None:
    """Returns None when `code` ran through, else "<class 'Name'>: message"
    of the exception it raised (3.12's RunFailedError text)."""
    try:
        import _interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, code)
        except interpreters.RunFailedError as error:
            return str(error)
        return None
    interp = _interpreters.create(_interpreters.new_config("legacy"))
    failure = _interpreters.run_string(interp, code)
    return None if failure is None else f"<class '{failure.type.__name__}'>: {failure.msg}"
