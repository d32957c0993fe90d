"""Prints, one a line, the build requirements of this project that the
running environment does not satisfy yet: those of pyproject.toml's
[build-system] and, once the backend is importable, those the backend asks
for on this machine (CMake and Ninja unless usable ones are installed).
Installing what it prints and running it again until it prints nothing
prepares an environment for `pip install --no-build-isolation`."""
import importlib
import tomllib
from importlib.metadata import PackageNotFoundError, version


def unsatisfied(requirements):
    from packaging.requirements import Requirement

    for text in requirements:
        requirement = Requirement(text)
        try:
            if requirement.specifier.contains(version(requirement.name), prereleases=True):
                continue
        except PackageNotFoundError:
            pass
        yield text


def main():
    with open("pyproject.toml", "rb") as fh:
        system = tomllib.load(fh)["build-system"]
    try:
        backend = importlib.import_module(system["build-backend"].split(":")[0])
    except ImportError:
        print("\n".join(system["requires"]))
        return
    missing = list(unsatisfied(system["requires"]))
    if not missing:
        missing = list(unsatisfied(backend.get_requires_for_build_wheel()))
    if missing:
        print("\n".join(missing))


if __name__ == "__main__":
    main()
