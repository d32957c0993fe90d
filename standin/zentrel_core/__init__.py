"""Stand-in for the engine's zentrel_core package, for tests and the demo.

The engine owns the real package; the compiled modules clusterlane and
pulsewire are installed as files of it.  Extending __path__ lets them be found
wherever they were installed (site-packages/zentrel_core or a build tree on
sys.path) next to these stand-in modules.
"""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
