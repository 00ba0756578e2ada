// An allocation counter for the live service, loaded with LD_PRELOAD. Every
// malloc-family call adds one to a counter in the file named by
// KESTA_ALLOC_COUNT (created by the test, 8 bytes), so the test reads the
// count at any moment without the service's help. With KESTA_ALLOC_TRACE=1,
// each allocation after the counter file says "tracing" (a non-zero second
// word) prints its call stack on stderr.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

struct Shared {
    std::atomic<uint64_t> count;
    std::atomic<uint64_t> tracing;
};

Shared* g_shared = nullptr;
thread_local bool t_inside = false;

__attribute__((constructor)) void Attach() {
    const char* path = getenv("KESTA_ALLOC_COUNT");
    if (!path) return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) g_shared = (Shared*)p;
}

void Count() {
    if (!g_shared || t_inside) return;
    g_shared->count.fetch_add(1, std::memory_order_relaxed);
    if (g_shared->tracing.load(std::memory_order_relaxed)) {
        t_inside = true;
        void* frames[24];
        int n = backtrace(frames, 24);
        static const char kMark[] = "== allocation\n";
        (void)!write(2, kMark, sizeof kMark - 1);
        backtrace_symbols_fd(frames, n, 2);
        t_inside = false;
    }
}

}  // namespace

extern "C" {
void* malloc(size_t n) {
    Count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    Count();
    return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
    Count();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    Count();
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    Count();
    void* p = __libc_memalign(align, n);
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
