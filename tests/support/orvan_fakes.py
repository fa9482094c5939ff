"""Recording fakes for the module globals of OrvanDeck.

Every method of ``OrvanDeck.CLASS_Orvan`` looks up ``Console``, ``Live``,
``Table``, ``Text``, ``Group``, ``Progress``, ``BarColumn``, ``TextColumn`` and
``datetime`` in the module globals at each use, so the tests rebind them with
the fakes below (``monkeypatch.setattr(OrvanDeck, NAME, FAKE)``).  Every call on
a fake is appended, in order, to one shared ``Recorder`` so that tests can
assert the exact calls, arguments and order across all ``rich`` objects.

Event names:
    "Console", "Console.print", "Console.status",
    "Status.__enter__", "Status.__exit__",
    "Live", "Live.start", "Live.update", "Live.stop",
    "Table", "Table.add_column", "Table.add_row",
    "Text.from_markup", "Group",
    "Progress", "Progress.add_task", "Progress.update", "Progress.stop",
    "Progress.get_renderable", "BarColumn", "TextColumn",
    "datetime.now", "datetime.strftime"

``Recorder.fail[name] = exc`` makes the fake raise ``exc`` when the event
``name`` happens (after it has been recorded).
"""

import collections
import io
import os
import sys

import pytest

import OrvanDeck

if getattr(OrvanDeck, "__file__", None) is None or not hasattr(OrvanDeck, "CLASS_Orvan"):
    raise ImportError(
        "OrvanDeck resolved to %r (the source directory as a namespace package?); "
        "install the extension module into the venv first (bash scripts/setup.sh)"
        % (getattr(OrvanDeck, "__path__", OrvanDeck),)
    )

LOG_TIME_FORMAT = "%Y/%m/%d-%H:%M:%S"
FAKE_NOW_TEXT = "2026/12/07-20:47:27"

GLOBAL_NAMES = (
    "Console",
    "Live",
    "Table",
    "Text",
    "Group",
    "Progress",
    "BarColumn",
    "TextColumn",
    "datetime",
)


class Call(collections.namedtuple("Call", "name args kwargs")):
    """One recorded call: event name, positional args tuple, kwargs dict."""

    __slots__ = ()


def C(name, *args, **kwargs):
    """Shorthand to build an expected ``Call``."""
    return Call(name, tuple(args), dict(kwargs))


class Recorder:
    def __init__(self):
        self.events = []
        self.enabled = True
        self.fail = {}
        self.console_width = 80
        self.now_text = FAKE_NOW_TEXT
        self.status_enter_result = "status-enter-result"
        self.status_exit_result = None
        self.next_task_id = 0
        self.instances = collections.defaultdict(list)

    def record(self, name, args=(), kwargs=None):
        if self.enabled:
            self.events.append(Call(name, tuple(args), dict(kwargs or {})))
        exc = self.fail.get(name)
        if exc is not None:
            raise exc

    def names(self):
        return [e.name for e in self.events]

    def of(self, name):
        return [e for e in self.events if e.name == name]

    def count(self, name):
        return len(self.of(name))

    def clear(self):
        del self.events[:]

    def last(self, name):
        found = self.of(name)
        assert found, "no %r event recorded; events: %r" % (name, self.names())
        return found[-1]


def build_fakes(rec):
    """Return a dict global-name -> fake class, all recording into ``rec``."""

    class FakeStatus:
        def __init__(self, message):
            self.message = message

        def __enter__(self):
            rec.record("Status.__enter__")
            return rec.status_enter_result

        def __exit__(self, exc_type, exc_value, tb):
            rec.record("Status.__exit__", (exc_type, exc_value, tb))
            return rec.status_exit_result

    class FakeConsole:
        def __init__(self, *args, **kwargs):
            rec.record("Console", args, kwargs)
            rec.instances["Console"].append(self)

        @property
        def width(self):
            return rec.console_width

        def print(self, *args, **kwargs):
            rec.record("Console.print", args, kwargs)

        def status(self, *args, **kwargs):
            rec.record("Console.status", args, kwargs)
            st = FakeStatus(args[0] if args else None)
            rec.instances["Status"].append(st)
            return st

    class FakeLive:
        def __init__(self, *args, **kwargs):
            rec.record("Live", args, kwargs)
            rec.instances["Live"].append(self)
            self.renderable = args[0] if args else None
            self.kwargs = kwargs
            self.started = False
            self.stopped = 0

        def start(self, *args, **kwargs):
            rec.record("Live.start", args, kwargs)
            self.started = True

        def update(self, *args, **kwargs):
            rec.record("Live.update", args, kwargs)
            self.renderable = args[0] if args else None

        def stop(self, *args, **kwargs):
            rec.record("Live.stop", args, kwargs)
            self.stopped += 1

    class FakeTable:
        def __init__(self, *args, **kwargs):
            rec.record("Table", args, kwargs)
            self.title = kwargs.get("title")
            self.columns = []
            self.rows = []

        def add_column(self, *args, **kwargs):
            rec.record("Table.add_column", args, kwargs)
            self.columns.append(args[0] if args else None)

        def add_row(self, *args, **kwargs):
            rec.record("Table.add_row", args, kwargs)
            self.rows.append(args)

    class FakeTextObj:
        def __init__(self, markup):
            self.markup = markup

        def __repr__(self):
            return "FakeTextObj(%r)" % (self.markup,)

    class FakeText:
        @classmethod
        def from_markup(cls, *args, **kwargs):
            rec.record("Text.from_markup", args, kwargs)
            return FakeTextObj(args[0] if args else None)

    class FakeGroup:
        def __init__(self, *renderables, **kwargs):
            rec.record("Group", renderables, kwargs)
            self.renderables = list(renderables)

        def __repr__(self):
            return "FakeGroup(%r)" % (self.renderables,)

    class FakeProgressRenderable:
        def __init__(self, progress):
            self.progress = progress

    class FakeProgress:
        def __init__(self, *args, **kwargs):
            rec.record("Progress", args, kwargs)
            rec.instances["Progress"].append(self)
            self.columns = args
            self.kwargs = kwargs
            self.tasks = {}
            self.stopped = 0

        def add_task(self, *args, **kwargs):
            rec.record("Progress.add_task", args, kwargs)
            tid = rec.next_task_id
            rec.next_task_id += 1
            self.tasks[tid] = {"description": args[0] if args else None,
                               "total": kwargs.get("total"),
                               "completed": 0}
            return tid

        def update(self, *args, **kwargs):
            rec.record("Progress.update", args, kwargs)
            if args and args[0] in self.tasks and "advance" in kwargs:
                self.tasks[args[0]]["completed"] += kwargs["advance"]

        def stop(self, *args, **kwargs):
            rec.record("Progress.stop", args, kwargs)
            self.stopped += 1

        def get_renderable(self, *args, **kwargs):
            rec.record("Progress.get_renderable", args, kwargs)
            return FakeProgressRenderable(self)

    class FakeBarColumn:
        def __init__(self, *args, **kwargs):
            rec.record("BarColumn", args, kwargs)
            self.args = args
            self.kwargs = kwargs

    class FakeTextColumn:
        def __init__(self, *args, **kwargs):
            rec.record("TextColumn", args, kwargs)
            self.args = args
            self.kwargs = kwargs

    class FakeNow:
        def strftime(self, *args, **kwargs):
            rec.record("datetime.strftime", args, kwargs)
            return rec.now_text

    class FakeDatetime:
        @classmethod
        def now(cls, *args, **kwargs):
            rec.record("datetime.now", args, kwargs)
            return FakeNow()

    return {
        "Console": FakeConsole,
        "Live": FakeLive,
        "Table": FakeTable,
        "Text": FakeText,
        "Group": FakeGroup,
        "Progress": FakeProgress,
        "BarColumn": FakeBarColumn,
        "TextColumn": FakeTextColumn,
        "datetime": FakeDatetime,
        # not module globals, exposed for isinstance checks
        "_TextObj": FakeTextObj,
        "_ProgressRenderable": FakeProgressRenderable,
        "_Status": FakeStatus,
    }


def bind_fakes(monkeypatch, names=GLOBAL_NAMES):
    rec = Recorder()
    fakes = build_fakes(rec)
    rec.classes = fakes
    for name in names:
        monkeypatch.setattr(OrvanDeck, name, fakes[name])
    return rec


@pytest.fixture
def fakes(monkeypatch):
    """All nine rich/datetime globals of OrvanDeck rebound to recording fakes."""
    return bind_fakes(monkeypatch)


@pytest.fixture
def dash(fakes):
    """A dashboard built over the fakes; the construction events are cleared."""
    d = OrvanDeck.CLASS_Orvan()
    fakes.clear()
    return d


def group_of_last_update(rec):
    """The single positional argument of the last ``Live.update`` call."""
    call = rec.last("Live.update")
    assert len(call.args) == 1 and call.kwargs == {}
    return call.args[0]


# ---------------------------------------------------------------------------
# real rich helpers


def make_recording_console(width=100):
    import rich.console

    return rich.console.Console(
        record=True,
        width=width,
        file=io.StringIO(),
        force_terminal=False,
        color_system="standard",
        legacy_windows=False,
    )


def render_text(renderable, width=100):
    """Render a renderable with rich into plain text (what a user sees)."""
    console = make_recording_console(width)
    console.print(renderable)
    return console.export_text(styles=False)


def orvan_launcher_path():
    return os.path.join(os.path.dirname(sys.executable), "deckrun")
