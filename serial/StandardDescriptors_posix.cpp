#include "StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

void OpenMissingStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // open() takes the lowest free descriptor, which is this one: every
        // lower one is open by now.
        const int null = open("/dev/null", O_RDWR);
        if (null != fd && null != -1)
            close(null);
    }
}
