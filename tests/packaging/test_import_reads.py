"""What a module body reads from the modules it imports: with each import
answered by a recording stand-in, a fresh module object of each extension
reads and calls exactly what the body of its plain-Python twin does."""

import contextlib
import importlib.util
import sys
import types

import pytest

import OrvanDeck
import PelmarDeck
import orvan_twin
import pelmar_twin

def stand_in(name, log):
    """A module whose every read is logged and answered by the real module;
    functions read from it log their calls as well."""
    real = importlib.import_module(name)
    module = types.ModuleType(name)

    def __getattr__(attr):
        log.append((name, attr))
        value = getattr(real, attr)
        if isinstance(value, types.FunctionType):
            function = value

            def value(*args, **kwargs):
                log.append((name, attr, "called"))
                return function(*args, **kwargs)
        return value

    module.__getattr__ = __getattr__
    return module


@contextlib.contextmanager
def stand_ins(names, log):
    saved = {name: sys.modules[name] for name in names}
    for name in names:
        importlib.import_module(name)
    modules = {name: stand_in(name, log) for name in names}
    try:
        sys.modules.update(modules)
        yield modules
    finally:
        sys.modules.update(saved)


def body_of_extension(module):
    spec = importlib.util.spec_from_file_location(module.__name__, module.__file__)
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    return vars(fresh)


def body_of_twin(twin, name):
    """The twin module's body run afresh, under the extension's name."""
    namespace = {"__name__": name}
    with open(twin.__file__, encoding="utf-8") as f:
        exec(compile(f.read(), twin.__file__, "exec"), namespace)
    return namespace


@pytest.mark.parametrize("module,twin,imports,bound", [
    (PelmarDeck, pelmar_twin, ["sys", "os", "curses"], {"sys": "sys", "os": "os", "Gobj_curses": "curses"}),
    (OrvanDeck, orvan_twin,
     ["enum", "datetime", "contextlib", "rich.live", "rich.console", "rich.table", "rich.progress", "rich.text",
      "time", "random"],
     {"random": "random"}),
], ids=["PelmarDeck", "OrvanDeck"])
def test_import_reads_only_what_its_body_names(module, twin, imports, bound):
    logs = []
    for run in (lambda: body_of_twin(twin, module.__name__), lambda: body_of_extension(module)):
        log = []
        with stand_ins(imports, log) as modules:
            names = run()
        assert all(names[glob] is modules[source] for glob, source in bound.items())
        logs.append(log)
    assert logs[1] == logs[0]
