// fsync_fault.cpp - preloaded (LD_PRELOAD) into asrc-audio by its tests to
// make fsync fail as a failing disk makes it fail, with EIO:
// ASRC_TEST_FAIL_FSYNC=file fails it on regular files, =directory on
// directories.  Every other call goes to the system.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int fsync(int fd)
{
    const char* which = std::getenv("ASRC_TEST_FAIL_FSYNC");
    struct stat s {};
    if (which != nullptr && fstat(fd, &s) == 0 &&
        ((std::strcmp(which, "file") == 0 && S_ISREG(s.st_mode)) ||
         (std::strcmp(which, "directory") == 0 && S_ISDIR(s.st_mode)))) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}
