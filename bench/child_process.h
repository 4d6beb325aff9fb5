// A program started for measuring: how long until it says "shown", how much
// CPU its threads use, how long until it ends and its peak resident memory.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess
{
public:
    using Clock = std::chrono::steady_clock;

    // Starts `program` with `arguments` and these extra environment entries.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until the program prints "shown"; the time since the start.
    std::chrono::duration<double, std::milli> waitUntilShown();
    // CPU time used so far by all of the program's threads, in seconds.
    double cpuSeconds() const;
    // The next line the program prints, without its newline; nullopt once
    // its output has ended.
    std::optional<std::string> readLine();
    // What /proc says of the running program: its resident memory in KiB
    // and how many descriptors it holds open.
    long residentKiB() const;
    int openDescriptors() const;
    // Waits until the program ends; the time since the start.
    std::chrono::duration<double, std::milli> waitUntilEnded();
    // Its peak resident memory in KiB, known once it has ended.
    long peakResidentKiB() const { return peakResidentKiB_; }
    // Its exit status once it has ended; -1 when a signal ended it.
    int exitStatus() const { return exitStatus_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    Clock::time_point started_;
    long peakResidentKiB_ = 0;
    int exitStatus_ = -1;
};
