// scratch_dir.h - a fresh, empty folder under the system's temporary folder
// for one test, removed with everything in it afterwards.
#ifndef ASRC_TESTS_SCRATCH_DIR_H
#define ASRC_TESTS_SCRATCH_DIR_H

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace asrc_test {

class ScratchDir {
public:
    // `prefix` names the suite, so that a leftover says whose it was.
    explicit ScratchDir(const std::string& prefix)
    {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() /
                (prefix + std::to_string(::getpid()) + "_" + std::to_string(serial++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace asrc_test

#endif
