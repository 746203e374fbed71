// Every program of ours calls openStandardDescriptors() first thing in main(), before it opens
// anything.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace dovrax {

// A program started with descriptor 0, 1 or 2 closed would hand that number to the next file it
// opens, and its messages and output would then go into that file: into the virtual adapter's
// segment, a log, a lock. Each closed one is opened here on /dev/null, read-only, so that it
// holds the number and a write to it still fails as a write to a closed descriptor does (the
// tools report that as a write error). Without /dev/null (a bare container), the root
// directory serves, which takes no writes either; a program that gets neither ends at once.
inline void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDONLY | O_NOCTTY);
        if (opened < 0)
            opened = open("/", O_RDONLY | O_DIRECTORY);
        if (opened < 0)
            _exit(127);
        // The lowest free number, so `fd` itself, as the ones below it are open.
        if (opened != fd) {
            if (dup2(opened, fd) != fd)
                _exit(127);
            close(opened);
        }
    }
}

} // namespace dovrax
