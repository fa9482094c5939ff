// The status context behind CUF_Status: an iterator that behaves as the
// generator contextmanager expects (next, throw, close), with a generator's
// rules for what throw() and close() do at its one yield, on every version.
#include "drawn_checks.hpp"

#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace orvan {
namespace {

enum StatusState { kCreated, kActive, kFinished };

struct StatusIter {
  PyObject_HEAD
  State* st;          // its module's; the iterator's type holds the module
  PyObject* self;
  PyObject* msg;
  PyObject* status;   // the console's status object
  PyObject* entered;  // what __enter__ returned, held until the end
  PyObject* exit;     // __exit__ looked up on the status object's type
  int state;
#ifdef Py_GIL_DISABLED
  int running;        // 1 while next, throw or close runs (see Executing)
#endif
};

StatusIter* as_status(PyObject* o) { return reinterpret_cast<StatusIter*>(o); }

#ifdef Py_GIL_DISABLED
// Without the GIL two threads can drive one iterator at the same time. As a
// generator does, a call that finds it executing (in another thread, or
// re-entered from a callback of its own) raises ValueError and touches
// nothing; the call that runs has the iterator to itself, and what it leaves
// is seen by the next (acquire and release on the flag).
class Executing {
 public:
  explicit Executing(StatusIter* s) noexcept : flag_(s->running) {
    int idle = 0;
    held_ = flag_.compare_exchange_strong(idle, 1, std::memory_order_acquire, std::memory_order_relaxed);
    if (!held_) PyErr_SetString(PyExc_ValueError, "generator already executing");
  }
  Executing(const Executing&) = delete;
  Executing& operator=(const Executing&) = delete;
  ~Executing() {
    if (held_) flag_.store(0, std::memory_order_release);
  }
  explicit operator bool() const noexcept { return held_; }

 private:
  std::atomic_ref<int> flag_;
  bool held_;
};
#define ORVAN_STATUS_EXCLUSIVE(s) \
  Executing executing_(s);        \
  if (!executing_) return nullptr
#else
// With the GIL the state each step sets before it calls out keeps a
// re-entered or concurrent call from corrupting the iterator.
#define ORVAN_STATUS_EXCLUSIVE(s) static_cast<void>(0)
#endif

void status_release(StatusIter* s) {
  Py_CLEAR(s->status);
  Py_CLEAR(s->entered);
  Py_CLEAR(s->exit);
}

// Calls __exit__ with the given exception; returns its result. With an
// exception it runs, as in the handler of a with statement, while that
// exception is being handled (sys.exc_info(), and the context of an error
// it raises).
Ref status_exit(StatusIter* s, PyObject* type, PyObject* value, PyObject* tb) {
  Ref exit = Ref::steal(s->exit);
  Ref status = Ref::steal(s->status);
  Ref entered = Ref::steal(s->entered);
  s->exit = s->status = s->entered = nullptr;
  s->state = kFinished;
  if (!exit) deck::raise(PyExc_RuntimeError, "the status context has been cleared");
  if (value == Py_None) return call(exit.get(), status.get(), type, value, tb);
  PyObject *ht, *hv, *htb;
  PyErr_GetExcInfo(&ht, &hv, &htb);
  Py_INCREF(type);
  Py_INCREF(value);
  Py_INCREF(tb);
  PyErr_SetExcInfo(type, value, tb);
  auto handled_back = [&] { PyErr_SetExcInfo(ht, hv, htb); };
  Ref r = deck::undo_on_error([&] { return call(exit.get(), status.get(), type, value, tb); },
                              [&] { handled_back(); });
  handled_back();
  return r;
}

PyObject* status_next(PyObject* o) noexcept {
  StatusIter* s = as_status(o);
  ORVAN_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    if (s->state == kCreated) {
      const Names& N = s->st->n;
      s->state = kFinished;  // until entry has succeeded
      if (!s->self) deck::raise(PyExc_RuntimeError, "the status context has been cleared");
      Ref console = attr(s->self, N.console);
      Ref status_fn = attr(console.get(), N.status);
      Ref status = call(status_fn.get(), status_message(*s->st, console.get(), s->msg).get());
      PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(status.get()));
      Ref enter = attr(tp, N.__enter__);
      Ref entered = call(enter.get(), status.get());
      Ref exit = attr(tp, N.__exit__);
      s->status = status.release();
      s->entered = entered.release();
      s->exit = exit.release();
      s->state = kActive;
      return none();
    }
    if (s->state == kActive) status_exit(s, Py_None, Py_None, Py_None);
    return Ref{};  // exhausted: StopIteration without an error set
  });
}

// Before 3.12 a generator's frame normalises an exception again each time it
// enters a handler: at the with statement's, and on 3.11 at the cleanup one
// that a with statement's re-raise passes through. The handler sees the
// exception with its traceback set.
constexpr int kFrameNormalizes = 0x030C00;

void reraise_from_value(deck::Error& e) {
  PyObject* own = reinterpret_cast<PyObject*>(Py_TYPE(e.value));
  Py_INCREF(own);
  Py_XDECREF(e.type);
  e.type = own;
  Py_XDECREF(e.tb);
  e.tb = PyException_GetTraceback(e.value);
}

void enter_handler(deck::Error& e) {
  if (deck::runtime_version() < kFrameNormalizes) e.normalize();
  ok(PyException_SetTraceback(e.value, e.tb ? e.tb : Py_None));
}

// 3.11: what leaves the with statement's handler passes its cleanup handler,
// and is raised again from the value.
void pass_cleanup(deck::Error& e) {
  enter_handler(e);
  reraise_from_value(e);
}

// An exception thrown in at the yield of an active context (the with block
// raised, or close()): the generator's with statement calls __exit__ with
// it. True when __exit__ suppressed it; otherwise the exception to raise is
// left set.
bool exit_at_yield(StatusIter* s, deck::Error& e) {
  const int version = deck::runtime_version();
  enter_handler(e);
  // 3.10 hands __exit__ the class the handler was given, later versions the
  // value's own.
  PyObject* exc_type = version < 0x030B00 ? e.type : reinterpret_cast<PyObject*>(Py_TYPE(e.value));
  Ref exc_type_ref = Ref::borrow(exc_type);
  const bool cleanup = version >= 0x030B00 && version < kFrameNormalizes;
  bool suppressed;
  try {
    suppressed = truthy(status_exit(s, exc_type_ref.get(), e.value, e.tb ? e.tb : Py_None).get());
  } catch (const deck::PyErrSet&) {
    if (!cleanup) throw;
    e.retake();
    pass_cleanup(e);
    e.restore();
    throw;
  }
  if (suppressed) return true;
  if (version >= 0x030B00) {
    // re-raised from the value alone: its class and its traceback
    reraise_from_value(e);
    if (cleanup) pass_cleanup(e);
  }
  e.restore();
  return false;
}

PyObject* status_throw(PyObject* o, PyObject* args) noexcept {
  StatusIter* s = as_status(o);
  ORVAN_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    PyObject *type = nullptr, *value = nullptr, *tb = Py_None;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) throw deck::PyErrSet{};
    if (PyTuple_Size(args) > 1 && deck::runtime_version() >= kFrameNormalizes &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
      throw deck::PyErrSet{};
    if (tb != Py_None && !PyTraceBack_Check(tb))
      deck::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    deck::Error e;
    if (PyExceptionClass_Check(type)) {
      e.type = Ref::borrow(type).release();
      e.value = Ref::borrow(value).release();
      e.tb = tb == Py_None ? nullptr : Ref::borrow(tb).release();
      e.normalize();
    } else if (PyExceptionInstance_Check(type)) {
      if (value && value != Py_None) deck::raise(PyExc_TypeError, "instance exception may not have a separate value");
      e.value = Ref::borrow(type).release();
      e.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type))).release();
      e.tb = tb == Py_None ? PyException_GetTraceback(type) : Ref::borrow(tb).release();
    } else {
      Ref tname = ok(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(type)), "__name__"));
      deck::raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %U",
                   tname.get());
    }
    if (s->state == kActive) {
      if (exit_at_yield(s, e)) {
        PyErr_SetNone(PyExc_StopIteration);
        throw deck::PyErrSet{};
      }
      throw deck::PyErrSet{};
    }
    s->state = kFinished;
    e.restore();
    throw deck::PyErrSet{};
  });
}

// GeneratorExit as close() raises it at a generator's yield: an instance
// whose traceback holds the running Python frame (there is no frame of our
// own), handed to __exit__ as exception.__traceback__.
std::pair<Ref, Ref> raised_generator_exit() {
  PyErr_SetNone(PyExc_GeneratorExit);
  if (PyFrameObject* frame = PyEval_GetFrame()) ok(PyTraceBack_Here(frame));
  deck::Error e = deck::Error::take_normalized();
  if (!e.value) throw deck::PyErrSet{};
  Ref value = Ref::steal(e.value), trace = Ref::steal(e.tb);
  e.value = e.tb = nullptr;
  return {std::move(value), trace ? std::move(trace) : Ref::borrow(Py_None)};
}

PyObject* status_close(PyObject* o, PyObject*) noexcept {
  StatusIter* s = as_status(o);
  ORVAN_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    if (s->state == kActive) {
      auto [exc, tb] = raised_generator_exit();
      status_exit(s, PyExc_GeneratorExit, exc.get(), tb.get());
    }
    s->state = kFinished;
    return none();
  });
}

PyObject* status_iter_self(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

// A context dropped while active is closed, as a generator would be.
void status_finalize(PyObject* o) noexcept {
  if (as_status(o)->state != kActive) return;
  deck::Error pending = deck::Error::take();
  PyObject* r = status_close(o, nullptr);
  if (r)
    Py_DECREF(r);
  else
    PyErr_WriteUnraisable(o);
  pending.restore();
}

int status_traverse(PyObject* o, visitproc visit, void* arg) {
  StatusIter* s = as_status(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(s->self);
  Py_VISIT(s->msg);
  Py_VISIT(s->status);
  Py_VISIT(s->entered);
  Py_VISIT(s->exit);
  return 0;
}

int status_clear(PyObject* o) {
  StatusIter* s = as_status(o);
  Py_CLEAR(s->self);
  Py_CLEAR(s->msg);
  status_release(s);
  return 0;
}

// The finalizer runs with the object alive again (reference count 1), as the
// interpreter does for its own types: whatever it calls may take and drop
// references to it without re-entering this deallocation.
void status_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  if (as_status(o)->state == kActive) {
#ifdef Py_LIMITED_API
    Py_SET_REFCNT(o, 1);
    status_finalize(o);
    Py_SET_REFCNT(o, Py_REFCNT(o) - 1);
    if (Py_REFCNT(o) != 0) {  // the finalizer stored a new reference
      PyObject_GC_Track(o);
      return;
    }
#else
    PyObject_GC_Track(o);
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
    PyObject_GC_UnTrack(o);
#endif
  }
  status_clear(o);
  deck::free_instance(o);
}

PyObject* status_name(PyObject*, void*) noexcept { return PyUnicode_FromString("CUF_Status"); }
PyObject* status_qualname(PyObject*, void*) noexcept { return PyUnicode_FromString("CLASS_Orvan.CUF_Status"); }

PyGetSetDef status_getset[] = {
    {"__name__", status_name, nullptr, nullptr, nullptr},
    {"__qualname__", status_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef status_methods[] = {
    {"throw", reinterpret_cast<PyCFunction>(status_throw), METH_VARARGS, nullptr},
    {"close", reinterpret_cast<PyCFunction>(status_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot status_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(status_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(status_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(status_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(status_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(status_iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(status_next)},
    {Py_tp_methods, status_methods},
    {Py_tp_getset, status_getset},
    {0, nullptr},
};
PyType_Spec status_spec = {"OrvanDeck.CUF_Status", sizeof(StatusIter), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                               Py_TPFLAGS_IMMUTABLETYPE,
                           status_slots};

}  // namespace

PyObject* make_status_type(PyObject* module) { return deck::make_type(module, &status_spec).release(); }

// What contextmanager() wraps: a native function named and annotated as the
// generator function, which makes the iterator without running anything.
const Sig S_status{"CUF_Status", "CLASS_Orvan.CUF_Status", {"self", "Pms_MsgSTR"}, {}};
static Ref status_generator(State& st, PyObject* const* a) {
  PyObject *self = a[0], *msg = a[1];
  Ref o = ok(deck::alloc_of(st.status_type)(reinterpret_cast<PyTypeObject*>(st.status_type), 0));
  StatusIter* s = as_status(o.get());
  s->st = &st;
  s->self = Ref::borrow(self).release();
  s->msg = Ref::borrow(msg).release();
  s->state = kCreated;
  return o;
}

Ref make_status(void* state) {
  State& st = *static_cast<State*>(state);
  Ref annotations = ok(PyDict_New());
  ok(PyDict_SetItemString(annotations.get(), "Pms_MsgSTR", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  Ref gen = deck::make_native_func(st.base, S_status, deck::thunk<State, status_generator>, annotations.get());
  Ref cm = global(st.base.globals, st.n.contextmanager);
  return call(cm.get(), gen.get());
}

}  // namespace orvan
