// batch.cpp - one child process per file.
#include "batch.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>

namespace asrc_audio {

namespace {

// The running children, for the signal handler: a fixed array, changed only
// with the signals blocked.
constexpr int kMaxChildren = 256;
volatile pid_t children[kMaxChildren];

extern "C" void pass_on_and_reraise(int sig)
{
    for (int i = 0; i < kMaxChildren; ++i) {
        const pid_t pid = children[i];
        if (pid > 0)
            kill(pid, sig);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t blocked_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kSignals)
        sigaddset(&set, sig);
    return set;
}

} // namespace

std::vector<int> run_in_processes(int count, int parallel, const std::function<int(int)>& job)
{
    std::vector<int> status(static_cast<std::size_t>(count), 1);
    if (parallel < 1)
        parallel = 1;
    if (parallel > kMaxChildren)
        parallel = kMaxChildren;
    const sigset_t set = blocked_set();
    // A signal that was ignored (nohup) stays ignored, here and in the
    // children.
    std::vector<void (*)(int)> before;
    for (const int sig : kSignals) {
        before.push_back(std::signal(sig, pass_on_and_reraise));
        if (before.back() == SIG_IGN)
            std::signal(sig, SIG_IGN);
    }
    std::map<pid_t, int> running; // pid -> job
    int next = 0;
    while (next < count || !running.empty()) {
        if (next < count && static_cast<int>(running.size()) < parallel) {
            std::fflush(nullptr); // nothing buffered is written twice
            sigset_t old;
            sigprocmask(SIG_BLOCK, &set, &old);
            const pid_t pid = fork();
            if (pid == 0) {
                for (std::size_t i = 0; i < before.size(); ++i)
                    std::signal(kSignals[i], before[i]);
                sigprocmask(SIG_SETMASK, &old, nullptr);
                const int s = job(next);
                std::fflush(nullptr);
                _exit(s);
            }
            if (pid > 0) {
                running[pid] = next;
                for (int i = 0; i < kMaxChildren; ++i) {
                    if (children[i] == 0) {
                        children[i] = pid;
                        break;
                    }
                }
            } else {
                std::perror("asrc-audio: cannot start a process");
            }
            sigprocmask(SIG_SETMASK, &old, nullptr);
            ++next;
            continue;
        }
        int raw = 0;
        const pid_t pid = waitpid(-1, &raw, 0);
        if (pid < 0)
            break; // no child left: cannot happen while `running` holds one
        const auto it = running.find(pid);
        if (it == running.end())
            continue;
        status[static_cast<std::size_t>(it->second)] = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1;
        running.erase(it);
        sigset_t old;
        sigprocmask(SIG_BLOCK, &set, &old);
        for (int i = 0; i < kMaxChildren; ++i) {
            if (children[i] == pid)
                children[i] = 0;
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    for (std::size_t i = 0; i < before.size(); ++i)
        std::signal(kSignals[i], before[i]);
    return status;
}

} // namespace asrc_audio
