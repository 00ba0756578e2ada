/* Preloaded into Wine for the serial contract tests on a pseudo-terminal.
 *
 * Wine's comm event wait reads the modem lines with TIOCMGET; a
 * pseudo-terminal has none and refuses, and the wait then returns at once
 * with an empty mask. Here TIOCMGET on a terminal that refuses it answers
 * "no line raised", as a serial port with nothing on its control lines
 * would, so the wait blocks until data arrives. 32-bit builds of glibc with
 * 64-bit time route ioctl through __ioctl_time64, which is covered too.
 *
 * It needs no C library headers, so the 32-bit build needs no multilib
 * packages (x86 Linux numbers below):
 *   cc [-m32] -shared -fPIC -nostdlib -o wine-serial-shim.so tools/wine-serial-shim.c
 */
typedef int (*ioctl_fn)(int, unsigned long, ...);
extern void *dlsym(void *handle, const char *name);
extern int *__errno_location(void);
#define RTLD_NEXT ((void *)-1l)
#define TIOCMGET 0x5415
#define EIO 5
#define EINVAL 22
#define ENOTTY 25

static int answer(ioctl_fn real, int fd, unsigned long request, void *arg) {
    int r = real(fd, request, arg);
    int e = *__errno_location();
    if (r < 0 && request == TIOCMGET && arg && (e == EINVAL || e == ENOTTY || e == EIO)) {
        *(int *)arg = 0;
        return 0;
    }
    return r;
}

static void *argument(__builtin_va_list *ap) { return __builtin_va_arg(*ap, void *); }

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_fn real;
    __builtin_va_list ap;
    __builtin_va_start(ap, request);
    void *arg = argument(&ap);
    __builtin_va_end(ap);
    if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return answer(real, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    static ioctl_fn real;
    __builtin_va_list ap;
    __builtin_va_start(ap, request);
    void *arg = argument(&ap);
    __builtin_va_end(ap);
    if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
    if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return answer(real, fd, request, arg);
}
