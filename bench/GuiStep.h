#pragma once

// Timing of steps of the GUI thread: processor time of the thread itself, which a busy machine
// does not inflate, beside wall time, which it does. Targets are checked on processor time.
// Where wall time passes processor time, the thread's context switches tell why: it blocked (a
// lock, the disk, a wait for another thread: the step's own cause) or other programs took its
// processor (preempted: the machine's load).

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace harbelle::bench {

inline double threadProcessorMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The kernel's account of threads (schedstat): ms on a processor and ms ready to run but
// waiting for one.
struct Schedule {
    double running = 0;
    double waiting = 0;
};

inline Schedule scheduleOf(const std::filesystem::path& schedstat) {
    std::ifstream in(schedstat);
    double running = 0, waiting = 0;
    if (!(in >> running >> waiting)) return {};
    return {running / 1e6, waiting / 1e6};
}

// Every other thread of this process together: the helpers a step may wait for.
inline Schedule otherThreadsSchedule() {
    Schedule all;
    const std::string self = std::to_string(::gettid());
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        if (task.path().filename() == self) continue;
        const Schedule one = scheduleOf(task.path() / "schedstat");
        all.running += one.running;
        all.waiting += one.waiting;
    }
    return all;
}

struct StepTime {
    double processor = 0;  // ms of this thread's processor time
    double wall = 0;       // ms
    double queued = 0;     // ms this thread was ready but had no processor
    long blocked = 0;      // times the thread gave up its processor to wait
    long preempted = 0;    // times the processor was taken from it
    // What is left of the wall time: the thread waited for a lock, the disk or another thread.
    double blockedMs() const { return std::max(0.0, wall - processor - queued); }
};

// Times one step: the body's processor and wall time on the calling thread.
template <class F>
StepTime timeStep(F&& body) {
    rusage usageBegin{};
    ::getrusage(RUSAGE_THREAD, &usageBegin);
    const double queuedBegin = scheduleOf("/proc/thread-self/schedstat").waiting;
    const double processorBegin = threadProcessorMs();
    const auto wallBegin = std::chrono::steady_clock::now();
    body();
    StepTime step{threadProcessorMs() - processorBegin,
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBegin).count()};
    step.queued = scheduleOf("/proc/thread-self/schedstat").waiting - queuedBegin;
    rusage usageEnd{};
    ::getrusage(RUSAGE_THREAD, &usageEnd);
    step.blocked = usageEnd.ru_nvcsw - usageBegin.ru_nvcsw;
    step.preempted = usageEnd.ru_nivcsw - usageBegin.ru_nivcsw;
    return step;
}

// The longest of many steps (by processor time; by wall time, with what made it long) and
// their sum.
struct Steps {
    StepTime longest;
    double longestWall = 0;
    StepTime longestByWall;
    StepTime total;
    int count = 0;

    void add(StepTime step) {
        if (step.processor > longest.processor) longest = step;
        if (step.wall > longestByWall.wall) longestByWall = step;
        longestWall = std::max(longestWall, step.wall);
        total.processor += step.processor;
        total.wall += step.wall;
        ++count;
    }
    template <class F>
    StepTime time(F&& body) {
        const StepTime step = timeStep(std::forward<F>(body));
        add(step);
        return step;
    }
};

// "wall W ms (waiting for a processor Q ms, preempted E times; blocked B ms, N times)"
inline std::string wallOf(const StepTime& step) {
    char text[160];
    std::snprintf(text, sizeof text, "wall %.3f ms (waiting for a processor %.3f ms, preempted %ld times; blocked %.3f ms, "
                  "%ld times)", step.wall, step.queued, step.preempted, step.blockedMs(), step.blocked);
    return text;
}

// Prints "name: processor P ms (target < T ms), wall ..." and says whether P is within T.
inline bool reportStep(const std::string& name, StepTime step, double targetMs) {
    const bool ok = step.processor < targetMs;
    std::printf("%s: GUI-thread processor %.3f ms (target < %.0f ms)%s, %s\n", name.c_str(), step.processor, targetMs,
                ok ? "" : " OVER", wallOf(step).c_str());
    return ok;
}

// A step that hands work to helper threads, with what they did meanwhile: their processor time,
// and their wait for a processor, which a step that waits for them shows as blocked.
template <class F>
bool reportStepWithHelpers(const std::string& name, double targetMs, F&& body) {
    const Schedule helpersBegin = otherThreadsSchedule();
    const StepTime step = timeStep(std::forward<F>(body));
    const Schedule helpersEnd = otherThreadsSchedule();
    const bool ok = reportStep(name, step, targetMs);
    std::printf("    helper threads meanwhile: %.3f ms on a processor, %.3f ms waiting for one\n",
                helpersEnd.running - helpersBegin.running, helpersEnd.waiting - helpersBegin.waiting);
    return ok;
}

inline bool reportSteps(const std::string& name, const Steps& steps, double targetMs) {
    const bool ok = steps.longest.processor < targetMs;
    std::printf("%s: %d steps, longest GUI-thread processor %.3f ms (target < %.0f ms)%s; longest by %s, processor "
                "%.3f ms; total processor %.1f ms, wall %.1f ms\n",
                name.c_str(), steps.count, steps.longest.processor, targetMs, ok ? "" : " OVER",
                wallOf(steps.longestByWall).c_str(), steps.longestByWall.processor, steps.total.processor,
                steps.total.wall);
    return ok;
}

}  // namespace harbelle::bench
