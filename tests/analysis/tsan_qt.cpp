// Linked into the tests of a ThreadSanitizer build only.
//
// Qt is not built with ThreadSanitizer: QMutex locks on futexes inside
// libQt5Core, where the sanitizer cannot see it, so every member that our code
// guards with a QMutex would be reported as racing. The definitions below take
// precedence over the library's for calls from our own code; they run the
// library's lock and unlock and tell the sanitizer what the mutex does.
//
// Races found inside Qt's own (uninstrumented) code, such as the QtTest
// watchdog thread's wait condition at exit, are not ours to judge: the
// sanitizer is told to report only accesses made from instrumented code.
#include <QMutex>
#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}

namespace
{
template <typename Function> Function library(const char* symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}
} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = library<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    __tsan_mutex_pre_lock(this, 0);
    real(this);
    __tsan_mutex_post_lock(this, 0, 0);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = library<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
    const bool locked = real(this, timeout);
    __tsan_mutex_post_lock(
        this, locked ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
        0);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto real = library<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_mutex_pre_unlock(this, 0);
    real(this);
    __tsan_mutex_post_unlock(this, 0);
}
