"""OrvanDeck: the C++ methods must neither leak nor over-release references to
the caller's objects.  Rendering goes to recording fakes with recording
switched off, so the only references held besides the test's own are the
dashboard's legitimate ones (its dicts) and the last group handed to the fake
live display."""

import gc
import sys

import pytest

import OrvanDeck

N = 1000
rc = sys.getrefcount


def _fresh_str(*parts):
    # a new, non-interned, non-immortal string object (at least 2 characters,
    # so never one of the cached one-character strings)
    s = "".join(parts) + "#"
    assert len(s) >= 2
    return s


def _settle():
    gc.collect()


@pytest.fixture
def quiet(fakes):
    fakes.enabled = False
    return fakes


def test_display_multi_refcounts_stable(dash, quiet):
    tid = _fresh_str("Wor", "kers")
    key = _fresh_str("work", "er_0")
    cols = [_fresh_str("Worker", " ID"), _fresh_str("Sta", "tus")]
    values = [_fresh_str("0", "0"), _fresh_str("Run", "ning")]
    dash.CUF_AddTable(tid, cols)
    dash.CUF_DisplayMulti(tid, key, values)  # warm-up: first store
    _settle()
    base = [rc(tid), rc(key), rc(cols), rc(values), rc(values[0]), rc(values[1]), rc(cols[0])]
    for _ in range(N):
        dash.CUF_DisplayMulti(tid, key, values)
    _settle()
    assert [rc(tid), rc(key), rc(cols), rc(values), rc(values[0]), rc(values[1]), rc(cols[0])] == base


def test_replaced_value_list_is_released(dash, quiet):
    tid = _fresh_str("T", "1")
    key = _fresh_str("k", "1")
    dash.CUF_AddTable(tid, ["c"])
    first = [1]
    start = rc(first)
    dash.CUF_DisplayMulti(tid, key, first)
    assert rc(first) == start + 1  # held by the row dictionary
    for i in range(N):
        dash.CUF_DisplayMulti(tid, key, [i])
    _settle()
    assert rc(first) == start


def test_table_id_and_columns_released_after_clear(dash, quiet):
    tid = _fresh_str("Dev", "ices")
    cols = [_fresh_str("a", "a")]
    tid_start, cols_start = rc(tid), rc(cols)
    dash.CUF_AddTable(tid, cols)
    assert rc(cols) == cols_start + 1  # held by the table entry
    dash.CUF_Clear()
    _settle()
    assert rc(tid) == tid_start
    assert rc(cols) == cols_start


def test_noop_add_table_refcounts_stable(dash, quiet):
    tid = _fresh_str("Jo", "bs")
    dash.CUF_AddTable(tid, ["x"])
    other_cols = ["y"]
    other_id = _fresh_str("Jo", "bs")  # equal, distinct object
    base = (rc(tid), rc(other_cols), rc(other_id))
    for _ in range(N):
        dash.CUF_AddTable(other_id, other_cols)
    _settle()
    assert (rc(tid), rc(other_cols), rc(other_id)) == base


def test_missing_table_keyerror_refcounts_stable(dash, quiet):
    tid = _fresh_str("Mis", "sing")
    key = _fresh_str("r", "r")
    values = [1]
    big_id = 10 ** 30 + 7
    base = (rc(tid), rc(key), rc(values), rc(big_id))
    for _ in range(N):
        with pytest.raises(KeyError):
            dash.CUF_DisplayMulti(tid, key, values)
        with pytest.raises(KeyError):
            dash.CUF_DisplayMulti(big_id, key, values)
    _settle()
    assert (rc(tid), rc(key), rc(values), rc(big_id)) == base


def test_messages_and_colours_refcounts_stable(dash, quiet):
    msg = _fresh_str("Processing ", "iteration 3...")
    colour = _fresh_str("yel", "low")
    member = OrvanDeck.ENUM_RichColor.cE_RCH_MAGENTA
    number = 10 ** 25 + 3
    dash.CUF_DisplaySingle(msg, colour)
    dash.CUF_AddLog(msg, member)
    _settle()
    base = (rc(msg), rc(colour), rc(member), rc(number))
    for _ in range(N):
        dash.CUF_DisplaySingle(msg, colour)
        dash.CUF_DisplaySingle(number, member)
        dash.CUF_AddLog(msg, colour)
        dash.CUF_AddLog(number, member)
        dash.CUF_Print(msg)
    _settle()
    assert (rc(msg), rc(colour), rc(member), rc(number)) == base
    assert len(dash.logs) == 2 * N + 1


def test_log_lines_attribute_refcount_stable(dash, quiet):
    n = 10 ** 20 + 9  # not a cached small int
    dash.Pmi_LogLines = n
    dash.CUF_AddLog("x")
    _settle()
    base = rc(n)
    for _ in range(N):
        dash._render_group()
    _settle()
    assert rc(n) == base


def test_progress_refcounts_stable(dash, quiet):
    desc = _fresh_str("Overall ", "Progress")
    total = 10 ** 20 + 1
    colour = _fresh_str("gre", "en")
    frac = float("0.2")
    step = 10 ** 18 + 5
    dash.CUF_ProgressStartP(desc, total, colour, frac)
    dash.CUF_ProgressAdvance(step)
    bar = dash.progress_bar
    _settle()
    base = (rc(desc), rc(total), rc(colour), rc(frac), rc(step), rc(bar))
    for _ in range(N):
        dash.CUF_ProgressAdvance(step)
    _settle()
    assert (rc(desc), rc(total), rc(colour), rc(frac), rc(step), rc(bar)) == base


def test_progress_start_stop_cycle_releases_bars(dash, quiet):
    colour = _fresh_str("bl", "ue")
    desc = _fresh_str("d", "esc")
    base = (rc(colour), rc(desc))
    for _ in range(N):
        dash.CUF_ProgressStartP(desc, 10, colour)
        dash.CUF_ProgressStop()
    _settle()
    # FakeProgress keeps the columns (and so the colour) only while it lives;
    # recorder.instances holds every Progress made, so drop them first
    quiet.instances.clear()
    _settle()
    assert (rc(colour), rc(desc)) == base


def test_status_refcounts_stable(dash, quiet):
    msg = _fresh_str("sys", "tem")
    base = rc(msg)
    for _ in range(N):
        with dash.CUF_Status(msg):
            pass
        with pytest.raises(ValueError):
            with dash.CUF_Status(msg):
                raise ValueError
    quiet.instances.clear()
    _settle()
    assert rc(msg) == base


def test_dashboard_itself_is_released(fakes):
    import weakref

    fakes.enabled = False
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("T", ["a"])
    d.CUF_DisplayMulti("T", "r", [1])
    d.CUF_AddLog("x")
    with d.CUF_Status("s"):
        pass
    d.CUF_Close()
    ref = weakref.ref(d)
    del d
    fakes.instances.clear()
    gc.collect()
    assert ref() is None
