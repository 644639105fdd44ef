/* Counts calls of malloc and realloc in the process it is preloaded into, for the
   check that a call of a marundex function in the steady state allocates nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

static void *(*real_malloc)(size_t);
static void *(*real_realloc)(void *, size_t);
static unsigned long count;

void *malloc(size_t size) {
    if (real_malloc == NULL) {
        real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    }
    ++count;
    return real_malloc(size);
}

void *realloc(void *block, size_t size) {
    if (real_realloc == NULL) {
        real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    }
    ++count;
    return real_realloc(block, size);
}

unsigned long malloc_count(void) { return count; }
