// output_file.cpp - the temporary output and its move into place.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace asrc_audio {

namespace {

// The temporary file's name for the signal handler, which may only make
// async-signal-safe calls: a fixed buffer, written before the handler is
// installed, and unlink().
char signal_path[4096];

extern "C" void remove_and_reraise(int sig)
{
    if (signal_path[0] != '\0')
        unlink(signal_path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

mode_t output_mode(const std::string& final_path)
{
    // A symbolic link is replaced by the file, not followed: its target's
    // permissions are not the output's.  Set-user-ID, set-group-ID and
    // sticky bits are not carried over to a file this program wrote.
    struct stat s {};
    if (lstat(final_path.c_str(), &s) == 0 && S_ISREG(s.st_mode))
        return s.st_mode & 0777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool is_directory(const std::string& path)
{
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

TemporaryOutput::~TemporaryOutput()
{
    discard();
}

bool TemporaryOutput::create(const std::string& final_path, std::string& error)
{
    final_path_ = final_path;
    const std::size_t slash = final_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
    // Hidden, and named after the output so that a leftover (the machine
    // lost power) says what it was; the name is cut so that the temporary
    // one stays within the file system's limit wherever OUTPUT's does.
    std::string pattern = dir + "." + name.substr(0, 100) + ".asrc-audio-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    fd_ = fd;
    path_ = buffer.data();
    // mkstemp makes the file private (0600); the output gets what any new
    // file would, or, when it replaces a file, that file's permissions (a
    // private or read-only OUTPUT stays so).
    if (fchmod(fd_, output_mode(final_path)) != 0) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    return true;
}

namespace {

// The directory that holds `path`, as open() takes it.
std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Flushes the directory's entries to the disk: 0, or an errno value.  A
// directory that cannot be opened for reading (write and search permission
// are enough to create files in it) or whose file system cannot flush a
// directory (EINVAL) is left as it is: nothing more can be done for it.
int sync_directory(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const int failed = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    close(fd);
    return failed;
}

// Swaps the two names in one step where the system can (Linux): true when
// done.  False, with nothing changed, where it cannot or `b` does not exist.
bool exchange_names(const std::string& a, const std::string& b)
{
#ifdef RENAME_EXCHANGE
    return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
#else
    (void)a;
    (void)b;
    return false;
#endif
}

} // namespace

bool TemporaryOutput::commit(std::string& error)
{
    const int fd = fd_;
    fd_ = -1;
    // The data reaches the disk before the new name may point at it, so
    // that a power cut can never leave OUTPUT naming an empty or partial
    // file.
    const bool written = fsync(fd) == 0;
    int failed = written ? 0 : errno;
    if (close(fd) != 0 && written)
        failed = errno;
    if (failed == 0) {
        // An existing OUTPUT is swapped with the temporary name rather than
        // replaced, so that it can be put back if the directory cannot be
        // flushed.
        struct stat s {};
        const bool existed = lstat(final_path_.c_str(), &s) == 0;
        const bool swapped = existed && exchange_names(path_, final_path_);
        if (!swapped && rename(path_.c_str(), final_path_.c_str()) != 0) {
            failed = errno;
        } else if ((failed = sync_directory(directory_of(final_path_))) != 0) {
            // The new name may not survive a power cut: the run failed, and
            // what was there before is there again.  (Where the names could
            // not be swapped, an OUTPUT that existed is already replaced and
            // the new one stays.)
            if (swapped)
                exchange_names(path_, final_path_);
            else if (!existed)
                rename(final_path_.c_str(), path_.c_str());
        }
    }
    // The temporary name holds the new file after a failure and the old
    // OUTPUT (if any) after a swap; either way it goes.
    unlink(path_.c_str());
    path_.clear();
    signal_path[0] = '\0';
    if (failed != 0) {
        error = std::strerror(failed);
        return false;
    }
    return true;
}

void TemporaryOutput::discard()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
    signal_path[0] = '\0';
}

void remove_on_signals(const TemporaryOutput& output)
{
    if (output.path().size() >= sizeof signal_path)
        return; // cannot be held; the file stays behind on a signal
    std::memcpy(signal_path, output.path().c_str(), output.path().size() + 1);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the parent set to be ignored (nohup, `trap '' HUP`, a
        // background job of a shell without job control for SIGINT) stays
        // ignored: the program runs on as its caller asked.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        std::signal(sig, remove_and_reraise);
    }
}

} // namespace asrc_audio
