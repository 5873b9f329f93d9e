#pragma once
// Times a command-line tool that the benchmarks compare against (ss), its output discarded.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace tarvok::bench {

// Runs `ss <option>` once per iteration; skips the benchmark when ss is not installed.
inline void timeSs(benchmark::State& state, const char* option) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("ss"), const_cast<char*>(option), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawnp(&pid, "ss", &actions, nullptr, argv, environ) != 0) {
            state.SkipWithError("ss is not installed");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

} // namespace tarvok::bench
