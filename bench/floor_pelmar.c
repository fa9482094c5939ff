/* The least any C extension can do for three screen methods: the same
 * attribute lookups and calls as the twin (tests/support/pelmar_twin.py),
 * through the C API, with no argument binding, no checks beyond the API's own
 * and no module state.
 *
 * install(cls) puts them on a subclass as the interpreter's own method
 * descriptors (the call path the interpreter specialises; reaching the
 * module's state from there needs process globals). install_own(cls) puts
 * them there as objects of a minimal descriptor type of this file's own,
 * which is how a method can hold its module's state: the interpreter calls
 * such objects through its general vectorcall path.
 *
 * run.py compiles this against the running interpreter's headers; it is a
 * measuring stick, not part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
#include <structmember.h>

static PyObject *s_stdscr, *s_curses, *s_getmaxyx, *s_addstr, *s_color_pair, *s_move, *s_scr_max;

static PyObject* scr_max(PyObject* self, PyObject* const* a, Py_ssize_t n) {
  PyObject* scr = PyObject_GetAttr(self, s_stdscr);
  if (!scr) return NULL;
  PyObject* size = PyObject_CallMethodNoArgs(scr, s_getmaxyx);
  Py_DECREF(scr);
  if (!size) return NULL;
  PyObject* r = PyTuple_Pack(2, PyTuple_GET_ITEM(size, 1), PyTuple_GET_ITEM(size, 0));
  Py_DECREF(size);
  return r;
}

static PyObject* move(PyObject* self, PyObject* const* a, Py_ssize_t n) {
  PyObject* scr = PyObject_GetAttr(self, s_stdscr);
  if (!scr) return NULL;
  PyObject* args[] = {scr, a[1], a[0]};
  PyObject* r = PyObject_VectorcallMethod(s_move, args, 3, NULL);
  Py_DECREF(scr);
  return r;
}

/* Plain ints only: the benchmark passes nothing else. */
static PyObject* print_xy(PyObject* self, PyObject* const* a, Py_ssize_t n) {
  PyObject* size = PyObject_CallMethodNoArgs(self, s_scr_max);
  if (!size) return NULL;
  long w = PyLong_AsLong(PyTuple_GET_ITEM(size, 0)), h = PyLong_AsLong(PyTuple_GET_ITEM(size, 1));
  Py_DECREF(size);
  if (PyLong_AsLong(a[0]) >= w || PyLong_AsLong(a[1]) >= h) Py_RETURN_NONE;
  PyObject* scr = PyObject_GetAttr(self, s_stdscr);
  if (!scr) return NULL;
  PyObject* curses = PyObject_GetAttr(self, s_curses);
  if (!curses) {
    Py_DECREF(scr);
    return NULL;
  }
  PyObject* colour = PyObject_CallMethodOneArg(curses, s_color_pair, a[3]);
  Py_DECREF(curses);
  if (!colour) {
    Py_DECREF(scr);
    return NULL;
  }
  PyObject* args[] = {scr, a[1], a[0], a[2], colour};
  PyObject* r = PyObject_VectorcallMethod(s_addstr, args, 5, NULL);
  Py_DECREF(scr);
  Py_DECREF(colour);
  if (!r) return NULL;
  Py_DECREF(r);
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"CUF_GET_SCR_MAX", (PyCFunction)(void (*)(void))scr_max, METH_FASTCALL, NULL},
    {"CUF_Move", (PyCFunction)(void (*)(void))move, METH_FASTCALL, NULL},
    {"CUF_PrintXY", (PyCFunction)(void (*)(void))print_xy, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

typedef PyObject* (*FastFn)(PyObject*, PyObject* const*, Py_ssize_t);
typedef struct {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FastFn fn;
} Own;

static PyObject* own_call(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (n < 1 || kwnames) {
    PyErr_SetString(PyExc_TypeError, "positional arguments only");
    return NULL;
  }
  return ((Own*)o)->fn(args[0], args + 1, n - 1);
}

static PyObject* own_get(PyObject* self, PyObject* obj, PyObject* type) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

static PyMemberDef own_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Own, vectorcall), READONLY, NULL},
    {NULL, 0, 0, 0, NULL},
};
static PyType_Slot own_slots[] = {
    {Py_tp_descr_get, own_get},
    {Py_tp_call, PyVectorcall_Call},
    {Py_tp_members, own_members},
    {0, NULL},
};
static PyType_Spec own_spec = {
    "floor_pelmar.method", sizeof(Own), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR, own_slots};
static PyObject* own_type;

static PyObject* install(PyObject* module, PyObject* cls) {
  if (!PyType_Check(cls)) return PyErr_Format(PyExc_TypeError, "a class is needed");
  for (PyMethodDef* d = methods; d->ml_name; ++d) {
    PyObject* f = PyDescr_NewMethod((PyTypeObject*)cls, d);
    if (!f || PyObject_SetAttrString(cls, d->ml_name, f) < 0) {
      Py_XDECREF(f);
      return NULL;
    }
    Py_DECREF(f);
  }
  Py_RETURN_NONE;
}

static PyObject* install_own(PyObject* module, PyObject* cls) {
  if (!PyType_Check(cls)) return PyErr_Format(PyExc_TypeError, "a class is needed");
  for (PyMethodDef* d = methods; d->ml_name; ++d) {
    Own* f = PyObject_New(Own, (PyTypeObject*)own_type);
    if (!f) return NULL;
    f->vectorcall = own_call;
    f->fn = (FastFn)(void (*)(void))d->ml_meth;
    int rc = PyObject_SetAttrString(cls, d->ml_name, (PyObject*)f);
    Py_DECREF(f);
    if (rc < 0) return NULL;
  }
  Py_RETURN_NONE;
}

static PyMethodDef module_methods[] = {
    {"install", install, METH_O, NULL},
    {"install_own", install_own, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "floor_pelmar", NULL, -1, module_methods};

PyMODINIT_FUNC PyInit_floor_pelmar(void) {
  s_stdscr = PyUnicode_InternFromString("CVobj_STDSCR");
  s_curses = PyUnicode_InternFromString("CVobj_Curses");
  s_getmaxyx = PyUnicode_InternFromString("getmaxyx");
  s_addstr = PyUnicode_InternFromString("addstr");
  s_color_pair = PyUnicode_InternFromString("color_pair");
  s_move = PyUnicode_InternFromString("move");
  s_scr_max = PyUnicode_InternFromString("CUF_GET_SCR_MAX");
  own_type = PyType_FromSpec(&own_spec);
  if (!s_stdscr || !s_curses || !s_getmaxyx || !s_addstr || !s_color_pair || !s_move || !s_scr_max || !own_type)
    return NULL;
  return PyModule_Create(&def);
}
