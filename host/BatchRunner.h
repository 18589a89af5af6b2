// Running a batch of decode or thumbs jobs: on one thread or several, with results and
// progress printed in input order, and the tally and exit status at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "HostOptions.h"
#include "OutputPlan.h"

// Does one job; true with what was done in `summary`, or false with the reason in `error`.
using JobFunction =
    std::function<bool(const DecodeJob& job, std::string& summary, std::string& error)>;

// Runs `jobs` on `threads` threads (each with COM set up, as a viewer's thread has it). Each
// job's line is printed in input order, "[3/10] name" progress goes to a terminal, and the
// tally follows: "VERB 8 of 10 files (1 skipped, 1 failed)". `failed_before` counts inputs that
// failed before the batch (unreadable files, already reported) into the tally. Exit status: 0,
// 1 when any job failed, 3 when some were skipped and none failed.
int RunJobs(const std::vector<DecodeJob>& jobs, const char* command, const char* verb,
            unsigned threads, const JobFunction& one, size_t failed_before = 0);

// The number of threads of --jobs, or of the machine's cores when not given.
unsigned JobThreads(const HostOptions& options);

// Writes a packed DIB to `job.output` in the job's format; progress of a large PNG write is
// shown when `show_progress`.
bool SaveDib(const DecodeJob& job, const HostOptions& options, const std::string& plugin,
             const uint8_t* data, size_t size, bool show_progress, std::string& error);

// Refuses a PNG batch in a build without PNG output and warns of a --png-level that does nothing.
bool CheckOutputFormat(const HostOptions& options, OutputFormat format, const char* command);

// Makes the output folder (and those above it); false, with a message, when it cannot.
bool MakeOutputFolder(const std::string& folder, const char* command);
