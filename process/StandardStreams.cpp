#include "StandardStreams.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

int reopenClosedStandardStreams() {
    int closed = 0;
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        closed |= 1 << fd;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    return closed;
}
