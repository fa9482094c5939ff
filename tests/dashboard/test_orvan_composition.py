"""OrvanDeck over recording fakes: construction, composition (_render_group),
the refresh rule and the named tables."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import OrvanDeck
import orvan_twin
from orvan_fakes import C, group_of_last_update
from reliability_support import removed_global

ATTRIBUTE_ORDER = [
    "console",
    "Pmi_RefreshRate",
    "Pmi_LogLines",
    "live",
    "tables",
    "logs",
    "single_line_msg",
    "progress_bar",
    "progress_task_id",
]


# ---------------------------------------------------------------------------
# construction


def test_construction_order_and_arguments(fakes):
    d = OrvanDeck.CLASS_Orvan()
    assert fakes.names() == ["Console", "Group", "Live", "Live.start"]
    console_call, group_call, live_call, start_call = fakes.events
    assert console_call == C("Console")
    assert group_call == C("Group")
    assert start_call == C("Live.start")
    console = fakes.instances["Console"][0]
    live = fakes.instances["Live"][0]
    assert d.console is console
    assert d.live is live
    assert len(live_call.args) == 1
    assert live_call.args[0].renderables == []
    assert live_call.kwargs == {"console": console, "refresh_per_second": 4}
    assert live_call.kwargs["console"] is console


def test_construction_with_arguments(fakes):
    d = OrvanDeck.CLASS_Orvan(8, 3)
    assert fakes.last("Live").kwargs["refresh_per_second"] == 8
    assert d.Pmi_RefreshRate == 8
    assert d.Pmi_LogLines == 3


def test_construction_passes_rate_unchanged(fakes):
    rate = 2.5
    d = OrvanDeck.CLASS_Orvan(rate)
    assert fakes.last("Live").kwargs["refresh_per_second"] is rate
    assert d.Pmi_RefreshRate is rate


def test_attribute_creation_order_and_initial_values(fakes):
    d = OrvanDeck.CLASS_Orvan()
    assert list(vars(d)) == ATTRIBUTE_ORDER
    assert d.Pmi_RefreshRate == 4 and d.Pmi_LogLines == 10
    assert d.tables == {} and type(d.tables) is dict
    assert d.logs == [] and type(d.logs) is list
    assert d.single_line_msg == "" and type(d.single_line_msg) is str
    assert d.progress_bar is None
    assert d.progress_task_id is None


def test_attribute_order_survives_operations(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    dash.CUF_ProgressStartP()
    dash.CUF_ProgressStop()
    dash.CUF_DisplaySingle("m")
    dash.CUF_Close()
    assert list(vars(dash)) == ATTRIBUTE_ORDER


def test_render_group_sees_live_none_during_construction(fakes):
    seen = []

    class Sub(OrvanDeck.CLASS_Orvan):
        def _render_group(self):
            seen.append((self.live, list(vars(self))))
            return "GROUP"

    d = Sub()
    assert seen == [(None, ATTRIBUTE_ORDER)]
    assert fakes.last("Live").args == ("GROUP",)
    assert d.live is fakes.instances["Live"][0]


def test_construction_failure_propagates(fakes):
    boom = RuntimeError("start failed")
    fakes.fail["Live.start"] = boom
    with pytest.raises(RuntimeError) as ei:
        OrvanDeck.CLASS_Orvan()
    assert ei.value is boom
    assert fakes.names() == ["Console", "Group", "Live", "Live.start"]


def test_construction_uses_current_globals(monkeypatch, fakes):
    made = []

    def console_factory(*args, **kwargs):
        made.append((args, kwargs))
        return "console-object"

    monkeypatch.setattr(OrvanDeck, "Console", console_factory)
    d = OrvanDeck.CLASS_Orvan()
    assert made == [((), {})]
    assert d.console == "console-object"
    assert fakes.last("Live").kwargs["console"] == "console-object"


# ---------------------------------------------------------------------------
# composition


def test_empty_render_group(dash, fakes):
    g = dash._render_group()
    assert g.renderables == []
    assert fakes.events == [C("Group")]


def test_render_group_changes_nothing_and_does_not_update(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    dash.CUF_AddLog("x")
    fakes.clear()
    before = (dict(dash.tables), list(dash.logs), dash.single_line_msg)
    dash._render_group()
    dash._render_group()
    assert fakes.count("Live.update") == 0
    assert (dict(dash.tables), list(dash.logs), dash.single_line_msg) == before


def test_full_composition_exact_call_sequence(dash, fakes):
    dash.CUF_ProgressStartP()
    dash.CUF_AddTable("Second", ["x"])
    dash.CUF_DisplaySingle("msg", "red")
    dash.CUF_AddTable("Third", ["p", "q"])
    dash.CUF_DisplayMulti("Third", "r1", [1, None])
    dash.CUF_DisplayMulti("Second", "k", ["v"])
    dash.CUF_AddLog("one")
    dash.CUF_AddLog("two", "green")
    fakes.clear()
    g = dash._render_group()
    progress = dash.progress_bar
    log_text = ("[white][2026/12/07-20:47:27] one[/white]\n"
                "[green][2026/12/07-20:47:27] two[/green]")
    assert fakes.events[:-1] == [
        C("Text.from_markup", log_text),
        C("Text.from_markup", "[red]msg[/red]"),
        C("Table", title="Second"),
        C("Table.add_column", "x", justify="center"),
        C("Table.add_row", "v"),
        C("Table", title="Third"),
        C("Table.add_column", "p", justify="center"),
        C("Table.add_column", "q", justify="center"),
        C("Table.add_row", "1", "None"),
        C("Progress.get_renderable"),
    ]
    group_call = fakes.events[-1]
    assert group_call.name == "Group" and group_call.kwargs == {}
    assert len(group_call.args) == 5
    assert g.renderables == list(group_call.args)
    log_el, msg_el, t2, t3, bar = g.renderables
    assert log_el.markup == log_text
    assert msg_el.markup == "[red]msg[/red]"
    assert (t2.title, t3.title) == ("Second", "Third")
    assert bar.progress is progress


def test_table_title_is_table_id_object(dash, fakes):
    tid = ("tuple", "id")
    dash.CUF_AddTable(tid, ["a"])
    assert fakes.last("Table").kwargs["title"] is tid


def test_cells_converted_with_str(dash, fakes):
    class Cell:
        def __str__(self):
            return "via-str"

        def __format__(self, format_spec):
            return "via-format"

    dash.CUF_AddTable("T", ["a", "b", "c", "d"])
    dash.CUF_DisplayMulti("T", "r", [42, None, Cell(), "[green]x[/green]"])
    assert fakes.last("Table.add_row") == C("Table.add_row", "42", "None", "via-str", "[green]x[/green]")


def test_headers_passed_unchanged(dash, fakes):
    header = object()
    dash.CUF_AddTable("T", [header, "b"])
    cols = fakes.of("Table.add_column")
    assert cols[0].args[0] is header
    assert cols[1] == C("Table.add_column", "b", justify="center")


def test_table_without_rows_is_still_composed(dash, fakes):
    dash.CUF_AddTable("Empty", ["h1", "h2"])
    g = group_of_last_update(fakes)
    assert len(g.renderables) == 1
    assert g.renderables[0].title == "Empty"
    assert g.renderables[0].columns == ["h1", "h2"]
    assert g.renderables[0].rows == []
    assert fakes.count("Table.add_row") == 0


def test_empty_message_adds_no_element_but_single_space_does(dash, fakes):
    dash.single_line_msg = ""
    assert dash._render_group().renderables == []
    dash.single_line_msg = " "
    fakes.clear()
    g = dash._render_group()
    assert [e.markup for e in g.renderables] == [" "]
    assert fakes.events[0] == C("Text.from_markup", " ")


def test_falsy_progress_bar_is_skipped(dash, fakes):
    dash.progress_bar = 0
    assert dash._render_group().renderables == []
    assert fakes.count("Progress.get_renderable") == 0


# ---------------------------------------------------------------------------
# log slice rule


def _lines(n):
    return ["line%d" % i for i in range(1, n + 1)]


@pytest.mark.parametrize(
    "log_lines,expected",
    [
        (10, _lines(12)[2:]),  # default: lines 3..12
        (12, _lines(12)),
        (50, _lines(12)),
        (0, _lines(12)),  # slice from index 0: all
        (1, ["line12"]),
        (-3, _lines(12)[3:]),  # all but the first 3
        (-12, []),  # empty text, still appended
        (-20, []),
    ],
)
def test_log_slice_rule(fakes, log_lines, expected):
    d = OrvanDeck.CLASS_Orvan(4, log_lines)
    for line in _lines(12):
        d.CUF_AddLog(line, "c")
    assert len(d.logs) == 12
    fakes.clear()
    g = d._render_group()
    shown = "\n".join("[c][2026/12/07-20:47:27] %s[/c]" % x for x in expected)
    assert fakes.events[0] == C("Text.from_markup", shown)
    assert len(g.renderables) == 1
    assert g.renderables[0].markup == shown


def test_default_shows_lines_3_to_12_after_twelve_adds(dash, fakes):
    for i in range(1, 13):
        dash.CUF_AddLog("m%d" % i)
    g = group_of_last_update(fakes)
    shown = g.renderables[0].markup.split("\n")
    assert [s.split("] ", 1)[1] for s in shown] == ["m%d[/white]" % i for i in range(3, 13)]
    assert len(dash.logs) == 12


def test_changing_log_lines_takes_effect_at_next_refresh(dash, fakes):
    for i in range(6):
        dash.CUF_AddLog(str(i), "c")
    dash.Pmi_LogLines = 3
    dash.CUF_DisplaySingle("x")
    g = group_of_last_update(fakes)
    assert g.renderables[0].markup.count("\n") == 2
    assert g.renderables[0].markup.endswith("] 5[/c]")


def test_non_numeric_log_lines_fails_first_composition_with_logs(fakes):
    d = OrvanDeck.CLASS_Orvan(4, "ten")
    d.CUF_DisplaySingle("fine")  # no logs yet: no negation
    with pytest.raises(TypeError):
        d.CUF_AddLog("x")
    assert d.logs == []  # the line added by the failing call was taken back


def test_log_block_is_sliced_and_joined_before_text_is_looked_up(dash, fakes):
    dash.logs.append("line")
    dash.Pmi_LogLines = "ten"
    with removed_global(OrvanDeck, "Text"):
        with pytest.raises(TypeError):  # the negation, not the NameError for Text
            dash._render_group()


@settings(max_examples=120, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(n=st.integers(min_value=-20, max_value=20),
       m=st.integers(min_value=1, max_value=15))
def test_log_slice_rule_property(dash, fakes, n, m):
    lines = ["L%d" % i for i in range(m)]
    dash.logs[:] = lines
    dash.Pmi_LogLines = n
    fakes.clear()
    g = dash._render_group()
    assert fakes.events[0] == C("Text.from_markup", "\n".join(lines[-n:]))
    assert g.renderables[0].markup == "\n".join(lines[-n:])


# ---------------------------------------------------------------------------
# refresh rule


def _assert_one_refresh(fakes):
    updates = fakes.of("Live.update")
    assert len(updates) == 1, fakes.names()
    assert fakes.names()[-1] == "Live.update"
    assert fakes.names()[-2] == "Group"
    assert updates[0].kwargs == {}
    assert len(updates[0].args) == 1


def test_refresh_counts_per_operation(dash, fakes):
    steps = [
        (lambda: dash.CUF_AddTable("T", ["a"]), 1),
        (lambda: dash.CUF_AddTable("T", ["other"]), 0),
        (lambda: dash.CUF_DisplayMulti("T", "r", [1]), 1),
        (lambda: dash.CUF_DisplayMulti("T", "r", [2]), 1),
        (lambda: dash.CUF_DisplaySingle("m"), 1),
        (lambda: dash.CUF_AddLog("l"), 1),
        (lambda: dash.CUF_Print("p"), 0),
        (lambda: dash.CUF_ProgressAdvance(), 0),
        (lambda: dash.CUF_ProgressStop(), 0),
        (lambda: dash.CUF_ProgressStartP(), 0),
        (lambda: dash.CUF_ProgressAdvance(), 1),
        (lambda: dash.CUF_ProgressAdvance(5), 1),
        (lambda: dash.CUF_ProgressStop(), 1),
        (lambda: dash.CUF_Clear(), 1),
        (lambda: dash.CUF_Clear(), 1),
        (lambda: dash.CUF_Close(), 0),
    ]
    for i, (op, expected) in enumerate(steps):
        fakes.clear()
        op()
        assert fakes.count("Live.update") == expected, (i, fakes.names())
        if expected:
            _assert_one_refresh(fakes)


def test_status_performs_no_refresh(dash, fakes):
    with dash.CUF_Status("s"):
        pass
    assert fakes.count("Live.update") == 0
    assert fakes.count("Group") == 0


def test_update_receives_the_group_just_composed(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    group_call = fakes.last("Group")
    update_call = fakes.last("Live.update")
    assert update_call.args[0].renderables == list(group_call.args)
    assert fakes.instances["Live"][0].renderable is update_call.args[0]


def test_refresh_goes_through_overridden_render_group(fakes):
    calls = []

    class Sub(OrvanDeck.CLASS_Orvan):
        def _render_group(self):
            calls.append(1)
            return ("custom", len(calls))

    d = Sub()
    fakes.clear()
    d.CUF_AddTable("T", ["a"])
    d.CUF_DisplayMulti("T", "r", [1])
    d.CUF_DisplaySingle("m")
    d.CUF_AddLog("l")
    d.CUF_Clear()
    updates = fakes.of("Live.update")
    assert [u.args for u in updates] == [(("custom", n),) for n in range(2, 7)]


def test_refresh_uses_current_live_attribute(dash, fakes):
    seen = []

    class OtherLive:
        def update(self, *args, **kwargs):
            seen.append((args, kwargs))

    dash.live = OtherLive()
    dash.CUF_DisplaySingle("m")
    assert len(seen) == 1 and seen[0][1] == {}
    assert fakes.count("Live.update") == 0


# ---------------------------------------------------------------------------
# tables


def test_add_table_stores_entry_with_callers_list(dash, fakes):
    cols = ["Job ID", "Owner", "State"]
    dash.CUF_AddTable("Jobs", cols)
    entry = dash.tables["Jobs"]
    assert type(entry) is dict
    assert list(entry) == ["columns", "rows"]
    assert entry["columns"] is cols
    assert entry["rows"] == {} and type(entry["rows"]) is dict
    assert fakes.names() == ["Table", "Table.add_column", "Table.add_column",
                             "Table.add_column", "Group", "Live.update"]


def test_add_table_existing_id_is_noop(dash, fakes):
    first = ["a", "b"]
    dash.CUF_AddTable("T", first)
    dash.CUF_DisplayMulti("T", "r", [1, 2])
    rows = dash.tables["T"]["rows"]
    fakes.clear()
    assert dash.CUF_AddTable("T", ["other"]) is None
    assert fakes.events == []
    assert dash.tables["T"]["columns"] is first
    assert dash.tables["T"]["rows"] is rows
    assert rows == {"r": [1, 2]}


def test_tables_keep_creation_order(dash, fakes):
    for tid in ["Workers", "Jobs", "Devices"]:
        dash.CUF_AddTable(tid, ["c"])
    dash.CUF_AddTable("Jobs", ["again"])
    assert list(dash.tables) == ["Workers", "Jobs", "Devices"]
    g = group_of_last_update(fakes)
    assert [t.title for t in g.renderables] == ["Workers", "Jobs", "Devices"]


def test_display_multi_stores_and_composes(dash, fakes):
    dash.CUF_AddTable("T", ["a", "b"])
    values = ["x", 1]
    fakes.clear()
    assert dash.CUF_DisplayMulti("T", "row", values) is None
    assert dash.tables["T"]["rows"]["row"] is values
    assert fakes.events[:-1] == [
        C("Table", title="T"),
        C("Table.add_column", "a", justify="center"),
        C("Table.add_column", "b", justify="center"),
        C("Table.add_row", "x", "1"),
        fakes.events[-2],
    ]
    _assert_one_refresh(fakes)


def test_rewriting_row_keeps_place(dash, fakes):
    dash.CUF_AddTable("T", ["v"])
    for key in ["r1", "r2", "r3"]:
        dash.CUF_DisplayMulti("T", key, [key])
    new = ["NEW"]
    dash.CUF_DisplayMulti("T", "r2", new)
    assert list(dash.tables["T"]["rows"]) == ["r1", "r2", "r3"]
    assert dash.tables["T"]["rows"]["r2"] is new
    g = group_of_last_update(fakes)
    assert g.renderables[0].rows == [("r1",), ("NEW",), ("r3",)]


def test_row_lengths_not_checked(dash, fakes):
    dash.CUF_AddTable("T", ["a", "b"])
    dash.CUF_DisplayMulti("T", "short", [1])
    dash.CUF_DisplayMulti("T", "long", [1, 2, 3])
    assert fakes.of("Table.add_row")[-2:] == [C("Table.add_row", "1"), C("Table.add_row", "1", "2", "3")]


def test_missing_table_keyerror_message(dash, fakes):
    with pytest.raises(KeyError) as ei:
        dash.CUF_DisplayMulti("Jobs", "r", [1])
    assert ei.value.args == ("Table 'Jobs' not exists. Call CUF_AddTable() first.",)
    assert fakes.events == []
    assert dash.tables == {}


def test_missing_int_table_keyerror_message(dash, fakes):
    dash.CUF_AddTable("7", ["a"])  # the string "7" does not match the int 7
    fakes.clear()
    with pytest.raises(KeyError) as ei:
        dash.CUF_DisplayMulti(7, "r", [1])
    assert ei.value.args == ("Table '7' not exists. Call CUF_AddTable() first.",)
    assert fakes.events == []
    assert dash.tables["7"]["rows"] == {}


def test_missing_table_id_formatted_with_format(dash, fakes):
    class Tid:
        def __hash__(self):
            return 1

        def __format__(self, format_spec):
            assert format_spec == ""
            return "formatted"

        def __str__(self):
            return "stringified"

    with pytest.raises(KeyError) as ei:
        dash.CUF_DisplayMulti(Tid(), "r", [1])
    assert ei.value.args == ("Table 'formatted' not exists. Call CUF_AddTable() first.",)


def test_unhashable_ids_raise_typeerror_and_store_nothing(dash, fakes):
    with pytest.raises(TypeError):
        dash.CUF_AddTable(["list"], ["a"])
    with pytest.raises(TypeError):
        dash.CUF_DisplayMulti(["list"], "r", [1])
    dash.CUF_AddTable("T", ["a"])
    fakes.clear()
    with pytest.raises(TypeError):
        dash.CUF_DisplayMulti("T", ["unhashable"], [1])
    assert dash.tables == {"T": {"columns": ["a"], "rows": {}}}
    assert fakes.events == []


def test_after_clear_tables_are_gone_and_can_be_re_added(dash, fakes):
    dash.CUF_AddTable("A", ["old"])
    dash.CUF_DisplayMulti("A", "r", [1])
    dash.CUF_Clear()
    with pytest.raises(KeyError) as ei:
        dash.CUF_DisplayMulti("A", "r", [1])
    assert ei.value.args == ("Table 'A' not exists. Call CUF_AddTable() first.",)
    dash.CUF_AddTable("B", ["b"])
    new_cols = ["new"]
    dash.CUF_AddTable("A", new_cols)
    assert list(dash.tables) == ["B", "A"]
    assert dash.tables["A"] == {"columns": ["new"], "rows": {}}
    assert dash.tables["A"]["columns"] is new_cols


def test_mutating_callers_lists_shows_at_next_refresh(dash, fakes):
    cols = ["a"]
    values = ["1"]
    dash.CUF_AddTable("T", cols)
    dash.CUF_DisplayMulti("T", "r", values)
    cols.append("b")
    values.append("2")
    fakes.clear()
    dash.CUF_DisplaySingle("refresh")
    assert fakes.of("Table.add_column") == [C("Table.add_column", "a", justify="center"),
                                            C("Table.add_column", "b", justify="center")]
    assert fakes.of("Table.add_row") == [C("Table.add_row", "1", "2")]


# ---------------------------------------------------------------------------
# reads and lookups of a composition, in order, as its plain twin makes them


@pytest.mark.parametrize("logs,message,table,bar", [
    ([], "", False, False), (["a", "b"], "m", True, True), ([], "m", False, True), (["a"], "", True, False),
])
def test_composition_reads_as_its_twin(monkeypatch, fakes, logs, message, table, bar):
    watched = {"logs", "Pmi_LogLines", "single_line_msg", "tables", "progress_bar"}

    class Reading(OrvanDeck.CLASS_Orvan):
        def __getattribute__(self, name):
            if name in watched:
                fakes.record("read " + name)
            return super().__getattribute__(name)

    class TextLookups:
        def __getattr__(self, name):
            fakes.record("Text." + name + " looked up")
            return getattr(fakes.classes["Text"], name)

    d = Reading()
    d.logs.extend(logs)
    d.single_line_msg = message
    if table:
        d.tables["t"] = {"columns": ["c"], "rows": {"k": [1]}}
    if bar:
        d.progress_bar = fakes.classes["Progress"]()
    monkeypatch.setattr(OrvanDeck, "Text", TextLookups())
    plain = orvan_twin.CLASS_Orvan._render_group
    twin = type(plain)(plain.__code__, vars(OrvanDeck))  # its body over the module's globals
    runs = []
    for render in (OrvanDeck.CLASS_Orvan._render_group, twin):
        fakes.clear()
        render(d)
        shown = lambda v: v if isinstance(v, (str, int)) else type(v).__name__  # noqa: E731
        runs.append([(e.name, [shown(a) for a in e.args], e.kwargs) for e in fakes.events])
    assert runs[0] == runs[1]


def test_progress_bar_width_through_the_global_max(monkeypatch, dash, fakes):
    seen = []
    monkeypatch.setattr(OrvanDeck, "max", lambda *a: seen.append(a) or 33, raising=False)
    dash.CUF_ProgressStartP()
    assert seen == [(10, 24)]
    assert fakes.of("BarColumn")[0] == C("BarColumn", bar_width=33, complete_style="green")
