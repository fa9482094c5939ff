// At interpreter shutdown, CPython 3.10-3.13 ends a daemon thread that wants
// the GIL back with pthread_exit, a forced unwind of the thread's stack. The
// modules' frames must let it pass the way C frames do: no destructors (they
// would drop references without the GIL), no catch handler, no noexcept
// terminate, and no _Unwind_Resume into this library's own unwinder copy.
// The link wraps the C++ personality routine so that, for a forced unwind,
// every frame of this library reports "nothing to do here". Built only against
// glibc: other C libraries end a thread without unwinding (CMakeLists.txt).
#include <unwind.h>

extern "C" {
_Unwind_Reason_Code __real___gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception*,
                                                _Unwind_Context*);

__attribute__((visibility("hidden"))) _Unwind_Reason_Code __wrap___gxx_personality_v0(
    int version, _Unwind_Action actions, _Unwind_Exception_Class cls, _Unwind_Exception* exc,
    _Unwind_Context* ctx) {
  if (actions & _UA_FORCE_UNWIND) return _URC_CONTINUE_UNWIND;
  return __real___gxx_personality_v0(version, actions, cls, exc, ctx);
}
}
