// Text recognition of a 4000x3000 page of 140 printed lines, as the program does it (file read,
// preparation, recognition on the recognizer's pool), beside the `tesseract` command line on the
// same file. Wall and CPU seconds of both, and the CPU ratio; the program must not spend more
// than the engine itself does (ratio <= 1.2), which it did when the engine's OpenMP loops ran a
// team on every core.
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/TesseractTextRecognizer.h"
#include "support/TextPage.h"

namespace {

struct Cost {
    double wall = 0;
    double cpu = 0;
    std::size_t lines = 0;
};

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double processCpu() {
    timespec used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

Cost viaRecognizer(const std::string& file) {
    harbelle::TesseractTextRecognizer recognizer;  // a fresh engine, as the command line loads one
    QEventLoop loop;
    Cost cost;
    const double wall = now(), cpu = processCpu();
    recognizer.recognize(std::filesystem::path(file), &loop, [&](std::vector<std::string> lines) {
        cost.lines = lines.size();
        loop.quit();
    });
    loop.exec();
    cost.wall = now() - wall;
    cost.cpu = processCpu() - cpu;
    return cost;
}

Cost viaCommandLine(const std::string& file) {
    Cost cost;
    const double wall = now();
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return cost;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
        ::execlp("tesseract", "tesseract", file.c_str(), "stdout", "-l", "eng", "--oem", "1", "--dpi", "96",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    char buffer[65536];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    cost.wall = now() - wall;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the tesseract command failed (package tesseract-ocr)\n");
        std::exit(1);
    }
    cost.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    for (std::size_t at = 0; (at = output.find('\n', at)) != std::string::npos; ++at)
        if (at > 0 && output[at - 1] != '\n') ++cost.lines;
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    // The command's reference: the engine on one thread.
    ::setenv("OMP_THREAD_LIMIT", "1", 1);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("page.png")).toStdString();
    if (!harbelle::testing::textPage().save(QString::fromStdString(file))) {
        std::fprintf(stderr, "could not write %s\n", file.c_str());
        return 1;
    }
    std::printf("page: 4000x3000, 140 lines of text; the command runs as `OMP_THREAD_LIMIT=1 tesseract FILE stdout "
                "-l eng --oem 1 --dpi 96`\n");
    std::vector<double> ratios;
    for (int round = 1; round <= rounds; ++round) {
        const Cost ours = viaRecognizer(file);
        const Cost command = viaCommandLine(file);
        ratios.push_back(ours.cpu / command.cpu);
        std::printf("round %d: program %.2f s wall, %.2f s CPU, %zu lines | tesseract %.2f s wall, %.2f s CPU, %zu lines "
                    "| CPU ratio %.2f, wall ratio %.2f\n",
                    round, ours.wall, ours.cpu, ours.lines, command.wall, command.cpu, command.lines, ratios.back(),
                    ours.wall / command.wall);
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("median CPU ratio %.2f (target <= 1.2): %s\n", median, median <= 1.2 ? "met" : "NOT met");
    return 0;
}
