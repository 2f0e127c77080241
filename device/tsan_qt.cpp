// ThreadSanitizer builds only: compiled into every program that links the
// core library (tests), never into the shipped program.
//
// Qt itself is not instrumented, so ThreadSanitizer cannot see what QMutex
// orders: every access that the worker and the GUI thread make under the
// device's mutex would be reported as a race. QMutex::lock and unlock called
// from our (instrumented) code are therefore wrapped here: the real
// operation runs, and the wrapper tells the sanitizer what the mutex did (so
// it also checks the lock order). Qt's own internal calls bind inside the library
// and are unaffected.
//
// What stays out of sight is Qt's queued signal delivery: the worker copies
// the arguments into an event and the GUI thread reads and frees them after
// taking the event from a queue guarded by Qt's internal (invisible) mutex.
// The suppressions below name exactly those hand-over points; nothing in our
// own code is suppressed.
#include <QMutex>
#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace
{

template <typename Function> Function next(const char* symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

using LockFunction = void (*)(QMutex*);
using TryLockFunction = bool (*)(QMutex*, int);

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const LockFunction real = next<LockFunction>("_ZN6QMutex4lockEv");
    __tsan_mutex_pre_lock(this, 0);
    real(this);
    __tsan_mutex_post_lock(this, 0, 0);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const TryLockFunction real = next<TryLockFunction>("_ZN6QMutex7tryLockEi");
    __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
    const bool locked = real(this, timeout);
    __tsan_mutex_post_lock(
        this, locked ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
        0);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const LockFunction real = next<LockFunction>("_ZN6QMutex6unlockEv");
    __tsan_mutex_pre_unlock(this, 0);
    real(this);
    __tsan_mutex_post_unlock(this, 0);
}

// Accesses made inside uninstrumented libraries (Qt's own copies, frees and
// waits) are not judged; what our code does is.
extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}

extern "C" const char* __tsan_default_suppressions()
{
    return
        // A queued call's arguments are copied by the emitting thread...
        "race:QMetaType::create\n"
        "race:QtMetaTypePrivate::QMetaTypeFunctionHelper\n"
        // ...and read and destroyed by the receiving thread.
        "race:QMetaCallEvent\n"
        // Allocation, copies and frees done inside Qt on those arguments.
        "called_from_lib:libQt5Core.so.5\n"
        // QtTest's watchdog thread, which QtTest ends through its own
        // condition variable rather than by joining it.
        "called_from_lib:libQt5Test.so.5\n";
}
