// output_file.h - the output written beside its final name and moved into
// place only when complete, so that a failed run never leaves a partial
// OUTPUT nor destroys an existing one.
#ifndef ASRC_AUDIO_OUTPUT_FILE_H
#define ASRC_AUDIO_OUTPUT_FILE_H

#include <sys/types.h>

#include <string>

namespace asrc_audio {

// True when both paths exist and name the same file (same device and inode,
// whatever links or spellings lead there).
bool same_file(const std::string& a, const std::string& b);

// True when the path exists and is a directory.
bool is_directory(const std::string& path);

// The permissions the output gets: those of the regular file it replaces,
// or, when there is none (or OUTPUT is a symbolic link, which is replaced
// and not followed), those of a new file (0666 less the umask).
mode_t output_mode(const std::string& final_path);

class TemporaryOutput {
public:
    TemporaryOutput() = default;
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;
    // Removes the temporary file unless it was committed.
    ~TemporaryOutput();

    // Creates a new file of a unique name in final_path's directory, with
    // the permissions of output_mode(final_path).  On failure
    // returns false and sets error to the system's reason.
    bool create(const std::string& final_path, std::string& error);

    int descriptor() const { return fd_; }
    const std::string& path() const { return path_; }

    // Flushes the file to the disk, closes it, renames it to the final name
    // and flushes the directory, so that after a power cut the final name
    // holds either its old contents or all of the new.  On failure of any
    // step the temporary file is removed, an existing file of the final
    // name is kept as it was, false is returned and error set.
    bool commit(std::string& error);

    // Closes and removes the temporary file.
    void discard();

private:
    std::string final_path_;
    std::string path_;
    int fd_ = -1;
};

// From now on, an interrupt or termination signal removes the temporary
// file of `output` (if any) before the program ends as the signal would
// end it.  SIGINT, SIGTERM or SIGHUP inherited as ignored stay ignored.
void remove_on_signals(const TemporaryOutput& output);

} // namespace asrc_audio

#endif
