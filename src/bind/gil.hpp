// The interpreter lock let go around work that needs no Python object, and taken back so that
// a thread ended by the interpreter's exit survives it.
//
// While the interpreter finalizes, a thread other than the finalizing one that asks for the
// lock back is ended on the spot: up to CPython 3.13 the request calls pthread_exit, whose
// forced unwind runs every destructor on the thread's stack, without the lock, up to the
// thread's start; a noexcept frame on the way aborts the process. Such a thread here never
// unwinds: it stays where it is, touching nothing, until the process ends around it (what
// CPython 3.14 itself does with such threads). Every release of the lock in the library goes
// through this header; the lock can also go inside any call the library makes into Python
// (a blocking `os` call, a log line written to a stream, a thread switch in Python code), and
// for those the modules' own unwinding stops the thread at the first of their frames that the
// unwind reaches (below).
#pragma once

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <unwind.h>

#include <utility>

#include "interpreter.hpp"

namespace norvo::bind {

// Whether the interpreter has begun to finalize: from then on, only the finalizing thread gets
// the lock back. A plain atomic read, valid without the lock.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Never returns and touches nothing of the interpreter. Signals are blocked first: a handler
// run on this thread would reach into an interpreter that is going away.
[[noreturn]] inline void park_for_good() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) ::pause();
}

// Takes the lock back for `state`. `finalizer` tells the finalizing thread itself (it held the
// lock when finalizing had already begun), which always gets the lock back. The forced unwind
// of the thread's exit is caught here, in the first frame it reaches, so that nothing further
// up the stack is unwound; the handler never ends, so the unwind is never resumed either.
inline void take_back_gil(PyThreadState* state, bool finalizer) noexcept {
    if (!finalizer && interpreter_finalizing()) park_for_good();
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        park_for_good();
    }
}

// The lock let go for the lifetime of the object.
class GilReleased {
public:
    GilReleased() : finalizer_(interpreter_finalizing()), state_(PyEval_SaveThread()) {}
    ~GilReleased() { take_back_gil(state_, finalizer_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    bool finalizer_;
    PyThreadState* state_;
};

// Runs `f` with the lock let go. `f` touches no Python object: its result and whatever it
// throws reach the caller once the lock is back.
template <class F>
decltype(auto) without_gil(F&& f) {
    GilReleased released;
    return std::forward<F>(f)();
}

}  // namespace norvo::bind

#if defined(NORVO_PARK_EXITING_THREADS)
// Each module is linked with its C++ personality routine wrapped (the build's
// --wrap=__gxx_personality_v0), so that every frame of the module that has something to
// destroy or a handler to run asks here first. A forced unwind while the interpreter finalizes
// is a thread being ended for asking for the lock back: it parks before the frame's clean-ups
// release any object without the lock. Everything else goes to the real routine unchanged.
extern "C" _Unwind_Reason_Code __real___gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class,
                                                           _Unwind_Exception*, _Unwind_Context*);

extern "C" inline __attribute__((used, visibility("hidden"))) _Unwind_Reason_Code __wrap___gxx_personality_v0(
    int version, _Unwind_Action actions, _Unwind_Exception_Class exception_class, _Unwind_Exception* exception,
    _Unwind_Context* context) {
    if ((actions & _UA_FORCE_UNWIND) && norvo::bind::interpreter_finalizing()) norvo::bind::park_for_good();
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}
#endif
