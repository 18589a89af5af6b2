// Work inside DirectShow that the request cannot call off: a file's parser may deadlock while
// the media detector or a filter graph opens the file, or while a graph stops, and Wine's takes
// a minute over some files. Such work runs as a job on a thread of its own, which the request
// stops waiting for at its time limit and leaves to end by itself.
#pragma once

#include <chrono>
#include <memory>

namespace dshow {

// How long a request may take, from its start to its answer, whatever runs in it.
constexpr std::chrono::milliseconds kRequestLimit{20000};

class BoundedJob {
public:
    virtual ~BoundedJob() = default;
    // Runs on the job's thread, which has joined the process's multithreaded apartment for it
    // (no thread of the host's owns the objects made there, and the thread needs no message
    // loop); every COM object made in Run is released before it returns. Run touches nothing
    // but the job: a job that the request gave up on still writes its answer, into itself.
    virtual void Run() = 0;
};

// Runs `job` on a thread of its own, which holds a reference to this module while it runs (a
// host that unloads the module while a job it gave up on still runs does not pull the code away
// from under it) and shares the job. True when Run ended by `deadline`: the job's answer may be
// read. False when no thread could be started or the deadline passed: the thread is left to
// end by itself, freeing the job when it does, and the caller reads nothing more from the job.
[[nodiscard]] bool RunBounded(std::shared_ptr<BoundedJob> job,
                              std::chrono::steady_clock::time_point deadline);

}  // namespace dshow
