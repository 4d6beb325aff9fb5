#include "child_process.h"

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
{
    std::vector<std::string> env = environment;
    for (char** entry = environ; *entry; ++entry)
        env.emplace_back(*entry);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    started_ = Clock::now();
    const int failed =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    output_ = pipeEnds[0];
    if (failed != 0)
        throw std::runtime_error("cannot start " + program);
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ::close(output_);
}

std::chrono::duration<double, std::milli> ChildProcess::waitUntilShown()
{
    std::string said;
    char c = 0;
    while (said.find("shown\n") == std::string::npos) {
        if (::read(output_, &c, 1) != 1)
            throw std::runtime_error("the program ended before its window was shown");
        said += c;
    }
    return Clock::now() - started_;
}

std::optional<std::string> ChildProcess::readLine()
{
    std::string line;
    char c = 0;
    for (;;) {
        if (::read(output_, &c, 1) != 1)
            return std::nullopt;
        if (c == '\n')
            return line;
        line += c;
    }
}

long ChildProcess::residentKiB() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string field;
    long kib = 0;
    while (status >> field) {
        if (field == "VmRSS:" && status >> kib)
            return kib;
    }
    return 0;
}

int ChildProcess::openDescriptors() const
{
    int count = 0;
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    if (DIR* dir = opendir(fds.c_str())) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

double ChildProcess::cpuSeconds() const
{
    // schedstat counts nanoseconds per thread, where /proc/<pid>/stat only
    // has clock ticks.
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    double seconds = 0;
    if (DIR* dir = opendir(tasks.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
            double nanoseconds = 0;
            if (schedstat >> nanoseconds)
                seconds += nanoseconds / 1e9;
        }
        closedir(dir);
    }
    return seconds;
}

std::chrono::duration<double, std::milli> ChildProcess::waitUntilEnded()
{
    int status = 0;
    rusage usage{};
    wait4(pid_, &status, 0, &usage);
    const auto ended = Clock::now() - started_;
    pid_ = -1;
    peakResidentKiB_ = usage.ru_maxrss;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ended;
}
