#pragma once

// Timing of steps of the GUI thread: processor time of the thread itself, which a busy machine
// does not inflate, beside wall time, which it does. Targets are checked on processor time.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace harbelle::bench {

inline double threadProcessorMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct StepTime {
    double processor = 0;  // ms of this thread's processor time
    double wall = 0;       // ms
};

// Times one step: the body's processor and wall time on the calling thread.
template <class F>
StepTime timeStep(F&& body) {
    const double processorBegin = threadProcessorMs();
    const auto wallBegin = std::chrono::steady_clock::now();
    body();
    return {threadProcessorMs() - processorBegin,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBegin).count()};
}

// The longest of many steps (by processor time, with the longest wall time beside it) and
// their sum.
struct Steps {
    StepTime longest;
    double longestWall = 0;
    StepTime total;
    int count = 0;

    void add(StepTime step) {
        if (step.processor > longest.processor) longest = step;
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

// Prints "name: processor P ms (target < T ms), wall W ms" and says whether P is within T.
inline bool reportStep(const std::string& name, StepTime step, double targetMs) {
    const bool ok = step.processor < targetMs;
    std::printf("%s: GUI-thread processor %.3f ms (target < %.0f ms)%s, wall %.3f ms\n", name.c_str(), step.processor,
                targetMs, ok ? "" : " OVER", step.wall);
    return ok;
}

inline bool reportSteps(const std::string& name, const Steps& steps, double targetMs) {
    const bool ok = steps.longest.processor < targetMs;
    std::printf("%s: %d steps, longest GUI-thread processor %.3f ms (target < %.0f ms)%s, longest wall %.3f ms; "
                "total processor %.1f ms, wall %.1f ms\n",
                name.c_str(), steps.count, steps.longest.processor, targetMs, ok ? "" : " OVER", steps.longestWall,
                steps.total.processor, steps.total.wall);
    return ok;
}

}  // namespace harbelle::bench
