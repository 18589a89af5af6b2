#include "BatchRunner.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "BmpWriter.h"
#include "DibImage.h"
#include "PluginCalls.h"
#include "PngWriter.h"
#include "platform/com.h"
#include "platform/platform.h"

namespace {

struct JobResult {
    bool finished = false;
    bool ok = false;
    std::string summary;
    std::string error;
};

}  // namespace

unsigned JobThreads(const HostOptions& options) {
    if (options.jobs > 0) return options.jobs;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

int RunJobs(const std::vector<DecodeJob>& jobs, const char* command, const char* verb,
            unsigned threads, const JobFunction& one, size_t failed_before) {
    const size_t total = jobs.size() + failed_before;
    const bool progress = total > 1 && platform::StderrIsTerminal();
    std::vector<JobResult> results(jobs.size());
    std::mutex mutex;
    std::condition_variable finished;
    size_t next = 0, started = 0;

    // Job i, done on the calling thread; its result is filed under the lock.
    auto run = [&](size_t i) {
        if (progress && jobs[i].skip.empty()) {
            std::lock_guard<std::mutex> lock(mutex);
            std::fprintf(stderr, "[%zu/%zu] %s\n", failed_before + ++started, total,
                         jobs[i].input.c_str());
        }
        JobResult r;
        if (jobs[i].skip.empty()) {
            try {
                r.ok = one(jobs[i], r.summary, r.error);
            } catch (const std::bad_alloc&) {
                r.error = "out of memory";
            } catch (const std::exception& e) {
                r.error = std::string("unexpected error: ") + e.what();
            }
        }
        r.finished = true;
        std::lock_guard<std::mutex> lock(mutex);
        results[i] = std::move(r);
        finished.notify_all();
    };
    // Each worker takes the next job; the main thread prints the results in input order as
    // they come in, so that the output reads as on one thread.
    std::vector<std::thread> pool;
    const size_t count = std::min<size_t>(threads == 0 ? 1 : threads, jobs.size());
    for (size_t t = 0; count > 1 && t < count; ++t) {
        pool.emplace_back([&] {
            const platform::ComScope com;
            for (;;) {
                size_t i;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (next >= jobs.size()) return;
                    i = next++;
                }
                run(i);
            }
        });
    }
    size_t done = 0, skipped = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (pool.empty()) run(i);  // one thread: the main one, whose COM is set up already
        JobResult r;
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return results[i].finished; });
            r = std::move(results[i]);
        }
        if (!jobs[i].skip.empty()) {
            Fail(std::string(command) + " " + jobs[i].input + ": skipped: " + jobs[i].skip);
            ++skipped;
        } else if (r.ok) {
            std::printf("%s\n", r.summary.c_str());
            std::fflush(stdout);
            ++done;
        } else {
            Fail(std::string(command) + " " + jobs[i].input + ": " + r.error);
        }
    }
    for (std::thread& thread : pool) thread.join();
    const size_t failed = total - done - skipped;
    if (total > 1) {
        std::printf("%s %zu of %zu files", verb, done, total);
        if (skipped > 0 && failed > 0) {
            std::printf(" (%zu skipped, %zu failed)", skipped, failed);
        } else if (skipped > 0) {
            std::printf(" (%zu skipped)", skipped);
        } else if (failed > 0) {
            std::printf(" (%zu failed)", failed);
        }
        std::printf("\n");
    }
    if (failed > 0) return kExitFailure;
    return skipped > 0 ? kExitSkipped : kExitOk;
}

bool SaveDib(const DecodeJob& job, const HostOptions& options, const std::string& plugin,
             const uint8_t* data, size_t size, bool show_progress, std::string& error) {
    if (job.format == OutputFormat::Bmp) return WriteBmpFile(job.output, data, size, error);
    DibImage image;
    if (!image.Load(data, size, error)) {
        error = "(" + plugin + ") " + error;
        return false;
    }
    PngSettings settings;
    settings.level = options.png_level ? *options.png_level : kDefaultPngLevel;
    settings.show_progress = show_progress && platform::StderrIsTerminal();
    return WritePngFile(job.output, image, settings, error);
}

bool CheckOutputFormat(const HostOptions& options, OutputFormat format, const char* command) {
    if (format == OutputFormat::Png && !PngOutputAvailable()) {
        Fail(std::string(command) +
             ": PNG output is not supported in this build; write .bmp files (--format bmp)");
        return false;
    }
    if (options.png_level && format != OutputFormat::Png) {
        Warn("--png-level has no effect on BMP output");
    } else if (options.png_level && !PngLevelHonoured()) {
        Warn(
            "--png-level has no effect in this build: the system's PNG encoder chooses its own "
            "compression");
    }
    return true;
}

bool MakeOutputFolder(const std::string& folder, const char* command) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder), ec);
    if (!ec) return true;
    Fail(std::string(command) + ": cannot create the output folder " + folder + ": " +
         ec.message());
    return false;
}
