/* Preloaded into a benchmark (LD_PRELOAD), counts the calls to malloc by
 * the library that made them, and prints the counts at exit on stderr:
 * "malloc calls: sqlite <n> component <n> other <n>". The component is
 * every library named valmorin, and the C++ runtime allocating on their
 * behalf (operator new); SQLite is libsqlite3. Two runs of different
 * lengths give the calls per operation by their difference. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

extern void* __libc_malloc(size_t size);

static long g_sqlite, g_component, g_other;
static __thread int t_counting; /* dladdr may allocate: not counted */

void* malloc(size_t size)
{
    void* block = __libc_malloc(size);
    if (t_counting) return block;
    t_counting = 1;
    Dl_info caller;
    if (dladdr(__builtin_return_address(0), &caller) && caller.dli_fname) {
        if (strstr(caller.dli_fname, "sqlite3"))
            ++g_sqlite;
        else if (strstr(caller.dli_fname, "valmorin") || strstr(caller.dli_fname, "libstdc++"))
            ++g_component;
        else
            ++g_other;
    } else {
        ++g_other;
    }
    t_counting = 0;
    return block;
}

__attribute__((destructor)) static void Report(void)
{
    fprintf(stderr, "malloc calls: sqlite %ld component %ld other %ld\n", g_sqlite, g_component, g_other);
}
