// Heap allocation counter for the benchmark, loaded into halvoranupdate with LD_PRELOAD. It
// counts every malloc-family call, apart for those made before main() and after main()
// started, and keeps the call stacks of the first ones after. When the process exits it
// writes to the file named by HALVORAN_ALLOC_LOG:
//
//   before_main <n>
//   after_main <n>
//   allocation <size>
//   <one line per stack frame>
//   ...
//
// The real allocator is glibc's, reached through its __libc_* entry points, so the counter
// needs no allocation of its own and no dlsym() for it.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace {

constexpr int max_sites = 32;
constexpr int max_frames = 12;

struct site {
    std::size_t size;
    int depth;
    void* frames[max_frames];
};

bool in_main = false;
int busy = 0; // the counter's own work (stack walks) is not counted
unsigned long before_main = 0;
unsigned long after_main = 0;
site sites[max_sites];
int site_count = 0;

void note(std::size_t size)
{
    if (busy)
        return;
    if (!in_main) {
        ++before_main;
        return;
    }
    ++after_main;
    if (site_count < max_sites) {
        busy = 1;
        site& s = sites[site_count++];
        s.size = size;
        s.depth = backtrace(s.frames, max_frames);
        busy = 0;
    }
}

void put(int fd, const char* text)
{
    std::size_t n = 0;
    while (text[n] != '\0')
        ++n;
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w <= 0)
            return;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

void put_number(int fd, const char* label, unsigned long value)
{
    char line[64];
    std::snprintf(line, sizeof line, "%s %lu\n", label, value);
    put(fd, line);
}

using main_fn = int (*)(int, char**, char**);
main_fn real_main = nullptr;

int counted_main(int argc, char** argv, char** envp)
{
    in_main = true;
    return real_main(argc, argv, envp);
}

__attribute__((constructor)) void warm_up()
{
    // The first stack walk loads the unwinder, which allocates: do it before main.
    busy = 1;
    void* frames[2];
    (void)backtrace(frames, 2);
    busy = 0;
}

__attribute__((destructor)) void report()
{
    in_main = false;
    busy = 1;
    const char* path = std::getenv("HALVORAN_ALLOC_LOG");
    if (path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    put_number(fd, "before_main", before_main);
    put_number(fd, "after_main", after_main);
    for (int i = 0; i < site_count; ++i) {
        put_number(fd, "allocation", sites[i].size);
        backtrace_symbols_fd(sites[i].frames, sites[i].depth, fd);
    }
    close(fd);
}

} // namespace

extern "C" {

int __libc_start_main(main_fn main, int argc, char** argv, void (*init)(), void (*fini)(),
                      void (*rtld_fini)(), void* stack_end)
{
    using start_fn = int (*)(main_fn, int, char**, void (*)(), void (*)(), void (*)(), void*);
    auto real_start = reinterpret_cast<start_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
    real_main = main;
    return real_start(counted_main, argc, argv, init, fini, rtld_fini, stack_end);
}

void* malloc(std::size_t n)
{
    note(n);
    return __libc_malloc(n);
}

void* calloc(std::size_t count, std::size_t n)
{
    note(count * n);
    return __libc_calloc(count, n);
}

void* realloc(void* p, std::size_t n)
{
    note(n);
    return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

void* memalign(std::size_t alignment, std::size_t n)
{
    note(n);
    return __libc_memalign(alignment, n);
}

void* aligned_alloc(std::size_t alignment, std::size_t n)
{
    note(n);
    return __libc_memalign(alignment, n);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t n)
{
    note(n);
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr)
        return 12; // ENOMEM
    *out = p;
    return 0;
}

void* valloc(std::size_t n)
{
    note(n);
    return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), n);
}

} // extern "C"
