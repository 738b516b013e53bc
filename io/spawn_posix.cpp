// SPDX-License-Identifier: MIT
// Commands started with posix_spawn, which is safe in a program with threads where fork and setenv are not.
#include "io/spawn.h"

#include "io/console.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace spawn {

namespace {

constexpr int kSignalExit = 128; // a shell's way to tell an end by signal from an exit code

// The name part of "NAME=value", with its '='.
std::string NameOf(const char *entry)
{
    const char *eq = std::strchr(entry, '=');
    return eq ? std::string(entry, static_cast<std::size_t>(eq - entry + 1)) : std::string(entry);
}

} // namespace

long Start(const std::string &command, const std::vector<std::string> &extra, std::string *why)
{
    std::vector<std::string> names;
    for (const std::string &e : extra)
        names.push_back(NameOf(e.c_str()));
    std::vector<char *> env;
    for (char **e = environ; e && *e; ++e) {
        const std::string name = NameOf(*e);
        bool replaced = false;
        for (const std::string &n : names)
            replaced = replaced || n == name;
        if (!replaced)
            env.push_back(*e);
    }
    for (const std::string &e : extra)
        env.push_back(const_cast<char *>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&files);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, STDERR_FILENO, STDOUT_FILENO);
    // Nothing of the program's own: an open serial port or network connection held by a command that outlives the
    // program would keep the sensor, or the broker's last will, from the next user.
    posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, "/bin/sh", &files, &attr, const_cast<char *const *>(argv), env.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (failed != 0) {
        *why = "cannot start /bin/sh: " + console::ErrorText(failed);
        return 0;
    }
    return pid;
}

bool Ended(long id, int *status)
{
    int raw = 0;
    const pid_t r = ::waitpid(static_cast<pid_t>(id), &raw, WNOHANG);
    if (r == 0)
        return false;
    if (r < 0)
        *status = -1;
    else if (WIFEXITED(raw))
        *status = WEXITSTATUS(raw);
    else
        *status = kSignalExit + WTERMSIG(raw);
    return true;
}

} // namespace spawn
