// A radio module at the far end of a pseudo-terminal, so that the program can
// be tried, shown and tested without hardware. The program opens
// devicePath() (or a port map link to it) as its serial port.
#pragma once

#include "line_faults.h"
#include "options.h"
#include "protocol.h"
#include "unique_fd.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace modulesim {

class Simulator
{
public:
    // Creates the pseudo-terminal and starts answering on a thread of its own.
    // Throws std::invalid_argument for options out of range and
    // std::system_error when no pseudo-terminal can be had.
    explicit Simulator(Options options = {});
    // Serves a line that is already open instead, such as a connected socket
    // whose far end is a virtual machine's serial device; `name` stands for
    // it in devicePath(). The line is made non-blocking and closed with the
    // simulator.
    Simulator(Options options, UniqueFd line, std::string name);
    // Stops and joins the thread, closes the pseudo-terminal and removes the
    // links made by linkInto that still lead to it, and the directories it
    // created that are empty then.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The program's end.
    const std::string& devicePath() const { return devicePath_; }
    // Makes portDir/com<comNumber> a link to devicePath() and returns the
    // link's path. Creates portDir when missing, but not its parents.
    // Replaces a link there that leads nowhere (left by a simulator that was
    // killed), never one that leads to a device. Throws
    // std::filesystem::filesystem_error. Call from the owning thread.
    std::string linkInto(const std::string& portDir, int comNumber);

    // Read requests of this module's generation, answered or not.
    int readRequests() const;
    // When each read request arrived, in order.
    std::vector<std::chrono::steady_clock::time_point> readRequestTimes() const;
    int writeRequests() const;
    // What the module holds now, as the last write left it.
    std::uint8_t channel() const;
    std::string address() const;

    // Closes the module's end, as when the adapter is pulled out; the program
    // sees a hang-up. Done when this returns.
    void vanish();
    bool vanished() const;
    // Returns once the line has gone, by vanish() or from the far end.
    void waitUntilVanished();
    // From now on reads are answered with `answer` instead of the radio data
    // block; nullopt goes back to the block.
    void answerWith(std::optional<std::string> answer);
    // Takes the module away from the line while the line stays, as from a
    // jig whose adapter stays plugged in: read and write requests are
    // counted but go unanswered and change nothing.
    void takeAway();
    // Puts a module on the line again, with this channel and address.
    void putOn(std::uint8_t channel, std::string address);
    // Sends `bytes` unasked, as fast as the line takes them (a babbling
    // device); returns at once, the thread does the sending.
    void flood(Bytes bytes);
    // How many flooded bytes the line has taken so far.
    std::size_t floodBytesSent() const;

private:
    using Clock = std::chrono::steady_clock;

    // The module's end, the program's end held open (a pseudo-terminal's
    // only) and the name the program opens.
    struct Line
    {
        UniqueFd moduleEnd;
        UniqueFd heldProgramEnd;
        std::string path;
    };
    static Line openPseudoTerminal();
    Simulator(Options options, Line line);

    void run();
    void serveLine(Bytes& pending);
    // What goes out for a read request just arrived, if anything does.
    std::optional<Transmission> noteReadRequest();
    void noteWriteRequest(const Command& write);
    // False when sending was given up: the line closed, or stop or vanish
    // was asked for.
    bool sendAnswer(const Transmission& answer);
    bool sendAll(const Bytes& bytes);
    // Waits until `until` unless stop or vanish is asked for first; true
    // when the whole time passed.
    bool pauseUntil(Clock::time_point until);
    bool stopOrVanishAsked() const;
    bool vanishDue() const;
    void closeLine();
    void ringWakeUp() const;
    void drainWakeUp() const;
    // Removes the links that still lead to this simulator's device; with
    // mutex_ held.
    void removeOwnLinks();

    const Options options_;
    const std::optional<Clock::time_point> vanishAt_;

    // The module's end and a held open program's end, so that the module's
    // end never sees a hang-up while the program has its port closed. Used
    // and closed by the thread alone while it runs.
    UniqueFd master_;
    UniqueFd heldSlave_;
    // Wakes the thread for stop and vanish; what was asked is in the flags.
    UniqueFd wakeUp_;
    std::string devicePath_;
    // Directories made by linkInto; touched by the owning thread only.
    std::vector<std::string> createdDirs_;

    // Guards links_ to line_; vanishedChanged_ is signalled when
    // vanished_ turns true.
    mutable std::mutex mutex_;
    // Links made by linkInto: the owning thread adds them, a vanishing line
    // removes them.
    std::vector<std::string> links_;
    std::condition_variable vanishedChanged_;
    std::uint8_t channel_;
    std::string address_;
    std::vector<Clock::time_point> readRequestTimes_;
    int writeRequests_ = 0;
    bool stopAsked_ = false;
    bool vanishAsked_ = false;
    bool vanished_ = false;
    Bytes floodAsked_;
    std::size_t floodBytesSent_ = 0;
    std::optional<std::string> answer_;
    // False while the module is taken away from the line.
    bool present_ = true;
    LineFaults line_;

    // Last, so that it starts when everything it uses is there.
    std::thread thread_;
};

} // namespace modulesim
