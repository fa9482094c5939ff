"""OrvanDeck over recording fakes: the status context (CUF_Status), its enter and
exit, and throw() answered as a generator answers it."""

import sys
import types

import pytest

import OrvanDeck
import orvan_twin
from orvan_fakes import C


# ---------------------------------------------------------------------------
# CUF_Status


def test_status_enter_and_normal_exit(dash, fakes):
    cm = dash.CUF_Status("[bold green] 系統運作中...")
    assert fakes.events == []
    with cm as target:
        assert target is None
        assert fakes.events == [C("Console.status", "[bold green] 系統運作中..."),
                                C("Status.__enter__")]
        fakes.record("inside")
    assert fakes.events == [
        C("Console.status", "[bold green] 系統運作中..."),
        C("Status.__enter__"),
        C("inside"),
        C("Status.__exit__", None, None, None),
    ]


def test_status_exception_exit_same_exception_reaches_caller(dash, fakes):
    err = RuntimeError("in block")
    with pytest.raises(RuntimeError) as ei:
        with dash.CUF_Status("s"):
            raise err
    assert ei.value is err
    exits = fakes.of("Status.__exit__")
    assert len(exits) == 1
    exc_type, exc_value, tb = exits[0].args
    assert exc_type is RuntimeError
    assert exc_value is err
    assert tb is not None
    assert fakes.names() == ["Console.status", "Status.__enter__", "Status.__exit__"]


def test_status_keyboard_interrupt_passes_through(dash, fakes):
    err = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as ei:
        with dash.CUF_Status("s"):
            raise err
    assert ei.value is err
    assert fakes.of("Status.__exit__")[0].args[:2] == (KeyboardInterrupt, err)


def test_status_true_exit_suppresses(dash, fakes):
    fakes.status_exit_result = True
    with dash.CUF_Status("s"):
        raise ValueError("suppressed")
    assert fakes.count("Status.__exit__") == 1
    assert fakes.of("Status.__exit__")[0].args[0] is ValueError


def test_status_normal_exit_does_not_truth_test_exit_result(dash, fakes):
    class NoTruth:
        def __bool__(self):
            raise AssertionError("truth-tested")

    fakes.status_exit_result = NoTruth()
    with dash.CUF_Status("s"):
        pass
    assert fakes.names() == ["Console.status", "Status.__enter__", "Status.__exit__"]


def test_status_close_hands_exit_the_exceptions_traceback(dash, fakes):
    gen = dash.CUF_Status("s").gen
    next(gen)
    gen.close()
    [(exc_type, exc, tb)] = [e.args for e in fakes.of("Status.__exit__")]
    assert exc_type is GeneratorExit and type(exc) is GeneratorExit
    assert isinstance(tb, types.TracebackType) and tb is exc.__traceback__


def test_status_never_entered_makes_no_console_call(dash, fakes):
    import gc

    cm = dash.CUF_Status("never")
    del cm
    gc.collect()
    assert fakes.events == []


@pytest.mark.parametrize("point, calls", [
    ("Status.__enter__", ["Console.status", "Status.__enter__"]),  # nor __exit__
    ("Console.status", ["Console.status"]),
])
def test_status_start_failure_skips_block(dash, fakes, point, calls):
    boom = OSError(point + " failed")
    fakes.fail[point] = boom
    ran = []
    with pytest.raises(OSError) as ei:
        with dash.CUF_Status("s"):
            ran.append(1)
    assert ei.value is boom
    assert ran == []
    assert fakes.names() == calls


def test_status_exit_failure_propagates(dash, fakes):
    boom = OSError("exit failed")
    fakes.fail["Status.__exit__"] = boom
    with pytest.raises(OSError) as ei:
        with dash.CUF_Status("s"):
            pass
    assert ei.value is boom


def test_status_changes_no_state_and_no_refresh(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    fakes.clear()
    with dash.CUF_Status("s"):
        dash.CUF_DisplayMulti("T", "r", [1])  # refreshes normally inside
    assert fakes.count("Live.update") == 1
    assert fakes.count("Live.stop") == 0
    assert fakes.names()[0] == "Console.status"
    assert fakes.names()[-1] == "Status.__exit__"


# ---------------------------------------------------------------------------
# throw() as a generator answers it, on every interpreter


class _Checked(type):
    """Logs its isinstance/issubclass checks; raises from them when `fail`."""
    log, fail = [], False

    def __instancecheck__(cls, x):
        _Checked.log.append(("isinstance", cls.__name__, type(x).__name__))
        if _Checked.fail:
            raise LookupError("instancecheck")
        return type.__instancecheck__(cls, x)

    def __subclasscheck__(cls, x):
        _Checked.log.append(("issubclass", cls.__name__, x.__name__))
        if _Checked.fail:
            raise LookupError("subclasscheck")
        return type.__subclasscheck__(cls, x)


class _Odd(Exception, metaclass=_Checked):
    pass


class _OddSub(_Odd):
    pass


def _throw_outcome(make, args, entered, exit_result):
    import warnings
    seen = _Checked.log = []

    class Status:
        def __enter__(self):
            seen.append("enter")

        def __exit__(self, t, v, tb):
            seen.append(("exit", t.__name__, repr(v), tb is v.__traceback__, repr(sys.exc_info()[1])))
            return exit_result

    g = make(types.SimpleNamespace(console=types.SimpleNamespace(status=lambda m: Status())), "m")
    if entered:
        next(g)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            g.throw(*args)
            seen.append("returned")
        except BaseException as e:
            context = e.__context__
            seen.append(("raised", type(e).__name__, repr(e.args), context and type(context).__name__))
    seen.append([str(w.message) for w in caught])
    return seen


@pytest.mark.parametrize("fail", [False, True], ids=["logs", "raises"])
@pytest.mark.parametrize("args", [
    (_Odd, 5), (_Odd, (1, 2)), (_Odd, None), (_Odd,), (_Odd, _OddSub(3)), (_Odd, _Odd(4)),
    (_Odd, KeyError(5)), (_OddSub(6),), (ValueError, KeyError(7)), (ValueError, (8, 9)),
], ids=repr)
def test_status_throw_normalises_as_a_generator(args, fail):
    for entered in (False, True):
        for exit_result in (False, True):
            _Checked.fail = fail
            try:
                expected = _throw_outcome(orvan_twin.CLASS_Orvan.CUF_Status.__wrapped__, args, entered, exit_result)
                got = _throw_outcome(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__, args, entered, exit_result)
            finally:
                _Checked.fail = False
            assert got == expected, (entered, exit_result)
