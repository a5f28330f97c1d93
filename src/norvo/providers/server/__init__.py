"""Stand-in for the server provider package.

Exposes what the library reads of it: ``session``, the process-wide broker session (the
``NorvoSession`` instance, not its module), and ``client``, the REST client module.

Importing the submodule ``norvo.providers.server.session`` binds the package attribute
``session`` to that module; it is rebound to the instance below, after both submodules have
loaded. To reach the session module itself, use ``importlib.import_module`` or
``sys.modules`` rather than ``import norvo.providers.server.session as ...``, which reads the
package attribute and so yields the instance.
"""
import importlib

from norvo.providers.server import client

session = importlib.import_module("norvo.providers.server.session").session
