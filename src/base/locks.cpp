// Hooks (b), (d), (e) and (f): the configuration-string mutex and the three
// critical sections created when the library is loaded.
#include "base/locks.h"

#include <atomic>

#include "base/module_hooks.h"

namespace ztbase {
namespace {

std::atomic<pthread_mutex_t *> g_config_string_mutex{nullptr};

pthread_mutex_t g_resolver_cache_lock;
pthread_mutex_t g_host_compare_lock;
pthread_mutex_t g_certmap_lock;

bool init_recursive(pthread_mutex_t *m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

void critical_section_event(pthread_mutex_t *m, LoadReason reason) {
    if (reason == LoadReason::ProcessAttach)
        init_recursive(m);
    else if (reason == LoadReason::ProcessDetach)
        pthread_mutex_destroy(m);
}

} // namespace

pthread_mutex_t *config_string_mutex() {
    return g_config_string_mutex.load(std::memory_order_acquire);
}
pthread_mutex_t *resolver_cache_lock() {
    return &g_resolver_cache_lock;
}
pthread_mutex_t *host_compare_lock() {
    return &g_host_compare_lock;
}
pthread_mutex_t *certmap_lock() {
    return &g_certmap_lock;
}

// A child forked while another thread held the configuration-string mutex
// would wait for it forever: the child starts with it free. (Not taken
// before the fork: its holders go on to the registry and the log, whose own
// fork handlers may already hold those, so waiting for it there could
// deadlock the parent.)
void config_string_mutex_in_child() {
    if (pthread_mutex_t *m = g_config_string_mutex.load(std::memory_order_acquire))
        init_recursive(m);
}

void config_string_lock_event(LoadReason reason) {
    if (reason == LoadReason::ProcessAttach) {
        static const int forks = pthread_atfork(nullptr, nullptr, config_string_mutex_in_child);
        (void)forks;
        // A second attach must never replace the installed mutex: the loser of
        // the exchange closes its own.
        auto *mine = new pthread_mutex_t;
        if (!init_recursive(mine)) {
            delete mine;
            return;
        }
        pthread_mutex_t *expected = nullptr;
        if (!g_config_string_mutex.compare_exchange_strong(expected, mine,
                                                           std::memory_order_acq_rel)) {
            pthread_mutex_destroy(mine);
            delete mine;
        }
    } else if (reason == LoadReason::ProcessDetach) {
        pthread_mutex_t *m = g_config_string_mutex.exchange(nullptr, std::memory_order_acq_rel);
        if (m != nullptr) {
            pthread_mutex_destroy(m);
            delete m;
        }
    }
}

void resolver_cache_lock_event(LoadReason reason) {
    critical_section_event(&g_resolver_cache_lock, reason);
}
void host_compare_lock_event(LoadReason reason) {
    critical_section_event(&g_host_compare_lock, reason);
}
void certmap_lock_event(LoadReason reason) {
    critical_section_event(&g_certmap_lock, reason);
}

} // namespace ztbase
