// Preloaded into the program to stand for a serial driver without
// TIOCMIWAIT: that request fails as a pseudo-terminal fails it, every other
// request reaches the driver. The serial component then samples the modem
// lines, which is the baseline the idle figures are set against.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    using Ioctl = int (*)(int, unsigned long, void*);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCMIWAIT) {
        errno = ENOTTY;
        return -1;
    }
    return next(fd, request, argument);
}
