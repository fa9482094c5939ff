// The demonstration, run when the module executes as __main__: the script a
// user would write, its loop variables bound as module globals as a script's
// are, and the dashboard closed again when Ctrl-C ends it early.
#include "orvan.hpp"

namespace orvan {
namespace {

struct Demo {
  State& st;
  PyObject* dashboard;

  const Names& N() const { return st.n; }
  Ref G(PyObject* name) const { return global(st.base.globals, name); }
  void set(const char* name, PyObject* v) const { ok(PyDict_SetItemString(st.base.globals, name, v)); }
  Ref method(PyObject* name) const { return attr(dashboard, name); }
  Ref fmt(PyObject* v) const { return ok(PyObject_Format(v, N().empty)); }
  Ref cat(std::initializer_list<PyObject*> parts) const { return concat(N(), parts); }
  static Ref S(const char* s) { return deck::str(s); }
  static Ref list(std::initializer_list<const char*> items) {
    Ref l = ok(PyList_New(0));
    for (const char* s : items) ok(PyList_Append(l.get(), deck::str(s).get()));
    return l;
  }
  Ref choice(std::initializer_list<const char*> items) const {
    return call_method(G(N().random).get(), N().choice, list(items).get());
  }
  void sleep(double seconds) const { call(G(N().sleep).get(), ok(PyFloat_FromDouble(seconds)).get()); }

  // for <var> in <items>: ...; dashboard.CUF_DisplayMulti(table, f"{prefix}{var}", row(var))
  template <class Row>
  void rows(const char* table, const char* items, const char* var, const char* prefix, Row&& row) const {
    deck::for_each(G(deck::interned(items).get()).get(), [&](Ref item) {
      set(var, item.get());
      Ref values = row(item.get());
      call(method(N().CUF_DisplayMulti).get(), S(table).get(), cat({S(prefix).get(), fmt(item.get()).get()}).get(),
           values.get());
    });
  }

  // with dashboard.CUF_Status(message): time.sleep(2)
  void status_for_two_seconds(const char* message) const {
    Ref cm = call(method(N().CUF_Status).get(), S(message).get());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(cm.get()));
    Ref exit = attr(type, N().__exit__);
    Ref enter = attr(type, N().__enter__);
    call(enter.get(), cm.get());
    try {
      call(G(N().sleep).get(), deck::integer(2).get());
    } catch (const deck::PyErrSet&) {
      deck::Error e = deck::Error::take_normalized();
      Ref suppressed = call(exit.get(), cm.get(), e.type, e.value, e.tb ? e.tb : Py_None);
      if (!truthy(suppressed.get())) {
        e.restore();
        throw;
      }
      return;
    }
    call(exit.get(), cm.get(), Py_None, Py_None, Py_None);
  }

  void run() const {
    call(method(N().CUF_Print).get(), S("\n\n\n測試 [red]Rich[/red] ").get());
    status_for_two_seconds("[bold green] 系統運作中...");
    Ref add_table = method(N().CUF_AddTable);
    call(add_table.get(), S("Workers").get(), list({"Worker ID", "Status", "Progress"}).get());
    call(add_table.get(), S("Jobs").get(), list({"Job ID", "Owner", "State"}).get());
    call(add_table.get(), S("Devices").get(), list({"Device ID", "Type", "Health"}).get());
    Ref workers = ok(PyList_New(0));
    for (long w = 0; w < 6; ++w) ok(PyList_Append(workers.get(), deck::integer(w).get()));
    set("workers", workers.get());
    set("jobs", list({"A01", "A02", "B01"}).get());
    set("devices", list({"GPU-0", "GPU-1", "DISK-1"}).get());
    Ref range5 = call(G(N().range).get(), deck::integer(5).get());
    deck::for_each(range5.get(), [&](Ref i) {
      set("i", i.get());
      rows("Workers", "workers", "w", "worker_", [&](PyObject* w) {
        set("status_val", choice({"Pending", "[red]Running[/red]", "[green]Done[/green]"}).get());
        Ref pct = call_method(G(N().random).get(), N().randint, deck::integer(0).get(), deck::integer(100).get());
        set("progress_val", cat({fmt(pct.get()).get(), S("%").get()}).get());
        return deck::list_of({ok(PyObject_Str(w)).get(), G(deck::interned("status_val").get()).get(),
                              G(deck::interned("progress_val").get()).get()});
      });
      rows("Jobs", "jobs", "j", "job_", [&](PyObject* j) {
        set("job_state", choice({"Queued", "[yellow]Running[/yellow]", "[green]Finished[/green]"}).get());
        Ref owner = cat({S("user").get(), fmt(G(deck::interned("i").get()).get()).get()});
        return deck::list_of({j, owner.get(), G(deck::interned("job_state").get()).get()});
      });
      rows("Devices", "devices", "d", "dev_", [&](PyObject* d) {
        set("health", choice({"[green]OK[/green]", "[yellow]Warn[/yellow]", "[red]Fail[/red]"}).get());
        return deck::list_of({d, S("HW").get(), G(deck::interned("health").get()).get()});
      });
      Ref i_now = G(deck::interned("i").get());
      call(method(N().CUF_AddLog).get(),
           cat({S("Iteration ").get(), fmt(i_now.get()).get(), S(" [green]finished[/green]").get()}).get(),
           S("magenta").get());
      call(method(N().CUF_DisplaySingle).get(),
           cat({S("Processing iteration ").get(), fmt(i_now.get()).get(), S("...").get()}).get(), S("yellow").get());
      sleep(0.6);
    });
    Ref green = attr(G(N().ENUM_RichColor).get(), deck::interned("cE_RCH_GREEN").get());
    call_kw(method(N().CUF_ProgressStartP).get(),
            {S("Overall Progress").get(), deck::integer(50).get(), green.get(), ok(PyFloat_FromDouble(0.2)).get()},
            N().kw_start);
    for (long k = 0; k < 50; ++k) {
      set("i", deck::integer(k).get());
      call(method(N().CUF_ProgressAdvance).get(), deck::integer(1).get());
      sleep(0.05);
    }
    call(method(N().CUF_ProgressStop).get());
    call(method(N().CUF_Close).get());
  }
};

}  // namespace

void run_demo(State& st) {
  Ref cls = global(st.base.globals, st.n.CLASS_Orvan);
  Ref dashboard = call(cls.get());
  ok(PyDict_SetItemString(st.base.globals, "dashboard", dashboard.get()));
  // An early end (Ctrl-C in a pause) still closes the live display, so the
  // terminal gets its cursor back; the exception then goes on.
  try {
    Demo{st, dashboard.get()}.run();
  } catch (const deck::PyErrSet&) {
    deck::Error pending = deck::Error::take();
    if (PyObject* r = PyObject_CallMethod(dashboard.get(), "CUF_Close", nullptr))
      Py_DECREF(r);
    else
      PyErr_Clear();
    pending.restore();
    throw;
  }
}

}  // namespace orvan
