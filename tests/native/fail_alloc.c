// tests/native/fail_alloc.c: an LD_PRELOAD shim that fails the N-th C allocation made with velkora's
// extension module on the stack, and counts the blocks alive in the whole process.
//
// The sweep (tests/allocation_sweep.py) names the module once (fail_alloc_watch), then arms the shim
// right around each call (fail_alloc_arm(N) ... fail_alloc_disarm()), so the interpreter's own start-up and
// everything between the calls is never failed. An allocation counts when the module made it: the first
// return address above it outside the C and C++ runtimes (libc, libstdc++, libgcc_s, the sanitizers' and
// this shim) lies in the module. What another library called from the module allocates for itself
// (pyarrow, the interpreter) is that library's: failing it tests that library, not the module. Each call
// chains to the next definition (libc's, or AddressSanitizer's when it is preloaded after this shim).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define TLS __attribute__((tls_model("initial-exec"))) static __thread
#define EXPORT __attribute__((visibility("default")))

static void* (*next_malloc)(size_t);
static void* (*next_calloc)(size_t, size_t);
static void* (*next_realloc)(void*, size_t);
static void (*next_free)(void*);
static int (*next_posix_memalign)(void**, size_t, size_t);
static void* (*next_aligned_alloc)(size_t, size_t);

// dlsym may allocate before the next allocator is known: those few blocks come from here and are never freed.
static char bootstrap[1 << 16] __attribute__((aligned(64)));
static size_t bootstrap_used;

static uintptr_t module_low, module_high;  // the watched module's executable mapping
#define MAX_RUNTIMES 16
static uintptr_t runtime_low[MAX_RUNTIMES], runtime_high[MAX_RUNTIMES];  // the runtimes' executable mappings
static int runtimes;
static int armed;
static long count, fail_at;  // allocations counted since arming; the one to fail (0: none)
static int injected;         // a failure was injected since arming
static long live;            // blocks allocated and not yet freed, process-wide
TLS int inside;              // this thread is in the shim already (backtrace, dlsym)

static void* from_bootstrap(size_t size) {
    size_t start = (__atomic_fetch_add(&bootstrap_used, (size + 63) & ~(size_t)63, __ATOMIC_RELAXED));
    if (start + size > sizeof bootstrap) return NULL;
    return bootstrap + start;
}

static int is_bootstrap(const void* p) {
    return (const char*)p >= bootstrap && (const char*)p < bootstrap + sizeof bootstrap;
}

static void resolve(void) {
    if (next_free) return;
    inside = 1;
    next_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    next_calloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    next_realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
    next_posix_memalign = (int (*)(void**, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    next_aligned_alloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    next_free = (void (*)(void*))dlsym(RTLD_NEXT, "free");
    inside = 0;
}

__attribute__((constructor)) static void start(void) {
    resolve();
    void* frames[4];
    inside = 1;
    (void)backtrace(frames, 4);  // loads the unwinder now: its first use allocates
    inside = 0;
}

static int in_runtime(uintptr_t address) {
    for (int i = 0; i < runtimes; ++i)
        if (address >= runtime_low[i] && address < runtime_high[i]) return 1;
    return 0;
}

// True when this allocation is to fail: armed, made with the module on the stack, and the N-th such.
static int should_fail(void) {
    if (!__atomic_load_n(&armed, __ATOMIC_ACQUIRE) || inside) return 0;
    inside = 1;
    void* frames[12];
    int n = backtrace(frames, 12);
    inside = 0;
    int i = 1;
    while (i < n && in_runtime((uintptr_t)frames[i])) ++i;
    if (i == n || (uintptr_t)frames[i] < module_low || (uintptr_t)frames[i] >= module_high) return 0;
    long k = __atomic_add_fetch(&count, 1, __ATOMIC_RELAXED);
    if (k != fail_at) return 0;
    __atomic_store_n(&injected, 1, __ATOMIC_RELAXED);
    return 1;
}

static void* counted(void* p) {
    if (p) __atomic_add_fetch(&live, 1, __ATOMIC_RELAXED);
    return p;
}

EXPORT void* malloc(size_t size) {
    if (!next_malloc) {
        if (inside) return from_bootstrap(size);
        resolve();
    }
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return counted(next_malloc(size));
}

EXPORT void* calloc(size_t n, size_t size) {
    if (!next_calloc) {
        if (inside) return from_bootstrap(n * size);  // zeroed: static storage not yet handed out
        resolve();
    }
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return counted(next_calloc(n, size));
}

EXPORT void* realloc(void* p, size_t size) {
    if (!next_realloc) resolve();
    if (is_bootstrap(p)) {  // moved out of the bootstrap storage
        void* q = malloc(size);
        if (q) memcpy(q, p, size);
        return q;
    }
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;  // the block stays as it was
    }
    void* q = next_realloc(p, size);
    if (!p) return counted(q);
    if (q == NULL && size == 0) __atomic_sub_fetch(&live, 1, __ATOMIC_RELAXED);  // realloc(p, 0) freed p
    return q;
}

EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
    if (!next_posix_memalign) resolve();
    if (should_fail()) return ENOMEM;
    int rc = next_posix_memalign(out, alignment, size);
    if (rc == 0) counted(*out);
    return rc;
}

EXPORT void* aligned_alloc(size_t alignment, size_t size) {
    if (!next_aligned_alloc) resolve();
    if (should_fail()) {
        errno = ENOMEM;
        return NULL;
    }
    return counted(next_aligned_alloc(alignment, size));
}

EXPORT void free(void* p) {
    if (!p || is_bootstrap(p)) return;
    if (!next_free) resolve();
    __atomic_sub_fetch(&live, 1, __ATOMIC_RELAXED);
    next_free(p);
}

struct watch {
    const char* path;
    int found;
};

static int is_runtime(const char* path) {
    static const char* const names[] = {"/libc.so", "/libstdc++.so", "/libgcc_s.so", "/libasan.so", "/libubsan.so",
                                        "fail_alloc"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strstr(path, names[i])) return 1;
    return 0;
}

static int find_mappings(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    struct watch* w = (struct watch*)data;
    if (!info->dlpi_name) return 0;
    int module = strcmp(info->dlpi_name, w->path) == 0;
    if (!module && (!is_runtime(info->dlpi_name) || runtimes == MAX_RUNTIMES)) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X)) continue;
        uintptr_t low = info->dlpi_addr + ph->p_vaddr;
        if (module) {
            module_low = low;
            module_high = low + ph->p_memsz;
            w->found = 1;
        } else if (runtimes < MAX_RUNTIMES) {
            runtime_low[runtimes] = low;
            runtime_high[runtimes++] = low + ph->p_memsz;
        }
    }
    return 0;
}

/// Watches the loaded shared object at `path` (as the loader names it). 1 when it was found.
EXPORT int fail_alloc_watch(const char* path) {
    struct watch w = {path, 0};
    runtimes = 0;
    dl_iterate_phdr(find_mappings, &w);
    return w.found;
}

/// Counts the module's allocations from now on, failing the `n`-th (none when `n` is 0).
EXPORT void fail_alloc_arm(long n) {
    count = 0;
    fail_at = n;
    injected = 0;
    __atomic_store_n(&armed, 1, __ATOMIC_RELEASE);
}

/// Stops counting; returns how many allocations were counted since arming.
EXPORT long fail_alloc_disarm(void) {
    __atomic_store_n(&armed, 0, __ATOMIC_RELEASE);
    return count;
}

/// 1 when a failure was injected since the last arming.
EXPORT int fail_alloc_injected(void) { return injected; }

/// The blocks allocated through the shim and not yet freed, in the whole process.
EXPORT long fail_alloc_live(void) { return __atomic_load_n(&live, __ATOMIC_RELAXED); }
