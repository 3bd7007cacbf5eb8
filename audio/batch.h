// batch.h - runs one job per file, several at once, each in a process of
// its own.
#ifndef ASRC_AUDIO_BATCH_H
#define ASRC_AUDIO_BATCH_H

#include <functional>
#include <vector>

namespace asrc_audio {

// Runs job(i) for i = 0 .. count - 1, at most `parallel` at a time, each in
// a child process (fork) whose exit status is job(i)'s return value, and
// returns the statuses in order (1 for a child that could not be started or
// ended by a signal).  A process of its own gives each job its own signal
// handler and temporary output, as a single run has, and keeps one job's
// fault from ending the others.  An interrupt, termination or hang-up
// signal to this process is passed on to the running children (which
// remove their temporary outputs) before it ends this process as it
// would.  Call it with no other thread running.
std::vector<int> run_in_processes(int count, int parallel, const std::function<int(int)>& job);

} // namespace asrc_audio

#endif
