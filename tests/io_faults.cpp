// io_faults.cpp - preloaded (LD_PRELOAD) into asrc-audio by its tests to
// make the system fail as a failing disk makes it fail, with EIO:
//   ASRC_TEST_FAIL_FSYNC=file       fsync fails on regular files
//   ASRC_TEST_FAIL_FSYNC=directory  fsync fails on directories
//   ASRC_TEST_FAIL_READ=NAME@OFFSET read fails on the file named NAME (in
//                                   any folder) from byte OFFSET on
//   ASRC_TEST_FAIL_READ_ONCE=1      ... but only once: the reads after it
//                                   succeed
//   ASRC_TEST_RAISE_AT_FSYNC=HUP    the first fsync raises SIGHUP (or INT,
//                                   TERM) first: a signal that arrives
//                                   while the output is being finished
// Every other call goes to the system.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool read_fails(int fd)
{
    const char* setting = std::getenv("ASRC_TEST_FAIL_READ");
    const char* at = setting != nullptr ? std::strrchr(setting, '@') : nullptr;
    if (at == nullptr)
        return false;
    char path[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path,
                               sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    std::string name = "/";
    name.append(setting, at);
    const std::string_view p(path, static_cast<std::size_t>(n));
    return p.size() >= name.size() && p.substr(p.size() - name.size()) == name &&
           lseek(fd, 0, SEEK_CUR) >= std::atoll(at + 1);
}

void raise_once()
{
    static bool raised = false;
    const char* name = std::getenv("ASRC_TEST_RAISE_AT_FSYNC");
    if (raised || name == nullptr)
        return;
    raised = true;
    const std::string_view n = name;
    std::raise(n == "HUP" ? SIGHUP : n == "INT" ? SIGINT : SIGTERM);
}

} // namespace

extern "C" int fsync(int fd)
{
    raise_once();
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

extern "C" ssize_t read(int fd, void* buffer, size_t count)
{
    static bool failed_once = false;
    if (!(failed_once && std::getenv("ASRC_TEST_FAIL_READ_ONCE") != nullptr) && read_fails(fd)) {
        failed_once = true;
        errno = EIO;
        return -1;
    }
    return syscall(SYS_read, fd, buffer, count);
}
