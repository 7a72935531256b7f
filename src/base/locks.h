// Process-wide locks the frame creates at load and destroys at unload. Their
// families take them; the frame only owns their life.
#pragma once

#include <pthread.h>

namespace ztbase {

// The recursive configuration-string mutex of the path table; null before load
// and after unload.
pthread_mutex_t *config_string_mutex();

// The critical sections of the resolver cache, host comparison and the
// certificate map (recursive, like the sections they stand in for).
pthread_mutex_t *resolver_cache_lock();
pthread_mutex_t *host_compare_lock();
pthread_mutex_t *certmap_lock();

} // namespace ztbase
