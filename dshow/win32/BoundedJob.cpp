#include "BoundedJob.h"

#include <objbase.h>
#include <windows.h>

#include <new>
#include <utility>

namespace dshow {
namespace {

// What the thread owns: its share of the job and its reference to this module.
struct JobThreadState {
    std::shared_ptr<BoundedJob> job;
    HMODULE module = nullptr;
};

DWORD WINAPI JobThread(void* parameter) {
    auto* state = static_cast<JobThreadState*>(parameter);
    const HMODULE module = state->module;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        state->job->Run();
    } catch (...) {
        // The job's answer stays what it was before Run: no answer.
    }
    if (SUCCEEDED(com)) CoUninitialize();
    delete state;  // the last share of an abandoned job frees it here
    // The module's code must not run after its reference is dropped: both end in one call.
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool RunBounded(std::shared_ptr<BoundedJob> job, std::chrono::steady_clock::time_point deadline) {
    if (!job) return false;
    auto* state = new (std::nothrow) JobThreadState;
    if (!state) return false;
    state->job = std::move(job);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&JobThread), &state->module)) {
        delete state;
        return false;
    }
    const HMODULE module = state->module;
    const HANDLE thread = CreateThread(nullptr, 0, JobThread, state, 0, nullptr);
    if (!thread) {
        delete state;
        FreeLibrary(module);
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const DWORD wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    // The thread's end, not only Run's: whatever it wrote into the job is seen from here.
    const bool ended = WaitForSingleObject(thread, wait) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

}  // namespace dshow
