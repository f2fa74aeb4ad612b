// Throughput of cli_log into a rotating file with the echo going to /dev/null, for one and for
// eight threads, and the cost of a call whose level is disabled.
#include <fcntl.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// CPU time of the whole process: on a shared machine the wall clock also counts other programs.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Run {
    double wall;
    double cpu;
};

Run runWriters(int threads, int perThread) {
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, perThread] {
            for (int i = 0; i < perThread; ++i) {
                cli_log(LL_INFO, "%s: thread %d request %d took %d ms, url %s", "ServerApi", t, i,
                        i % 977, "https://vdi.example.test/api/0.7.0/settings");
            }
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    return {seconds(Clock::now() - start), cpuSeconds() - cpu0};
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 200000;
    char dirTemplate[] = "/tmp/logger-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string file = dir + "/logs/bench.log";

    // Figures go to the original stdout; the echo goes to /dev/null.
    FILE* report = fdopen(dup(STDOUT_FILENO), "w");
    int devnull = open("/dev/null", O_WRONLY);
    if (!report || devnull < 0) {
        std::perror("stdout");
        return 1;
    }
    std::fflush(stdout);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);

    logger_config cfg{};
    cfg.file_name = file.c_str();
    cfg.level_mask = 2071;
    cfg.max_file_size = 10485760;
    cfg.close_delay_us = 10000;
    cfg.rotate_count = 3;
    cfg.cache_zone = 1;
    cfg.cli_mode = 1;
    cfg.echo_stdout = 1;
    if (init_logger_cli(&cfg) != 0) {
        std::fprintf(report, "cannot initialise the log\n");
        return 1;
    }

    runWriters(1, 2000);  // warm up: directory, file, page cache
    const Run one = runWriters(1, lines);
    const int eightLines = (lines / 8) * 8;
    const Run eight = runWriters(8, lines / 8);
    std::fprintf(report,
                 "cli_log, file + echo to /dev/null, 1 thread : %9.0f lines/s wall, %9.0f "
                 "lines per CPU second (%d lines)\n",
                 lines / one.wall, lines / one.cpu, lines);
    std::fprintf(report,
                 "cli_log, file + echo to /dev/null, 8 threads: %9.0f lines/s wall, %9.0f "
                 "lines per CPU second (%d lines)\n",
                 eightLines / eight.wall, eightLines / eight.cpu, eightLines);

    const int disabled = 50000000;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < disabled; ++i) {
        cli_log(LL_DEBUG, "%s: disabled %d", "bench", i);
    }
    const double wallNs = seconds(Clock::now() - start) * 1e9 / disabled;
    const double cpuNs = (cpuSeconds() - cpu0) * 1e9 / disabled;
    std::fprintf(report,
                 "cli_log, disabled level (DEBUG, mask 2071) : %9.2f ns/call wall, %6.2f ns/call "
                 "CPU\n",
                 wallNs, cpuNs);
    std::fflush(report);

    deinit_logger_cli();
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
