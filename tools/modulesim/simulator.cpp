#include "simulator.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <system_error>
#include <termios.h>

namespace modulesim {

namespace {

[[noreturn]] void throwSystemError(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// A poll that fails for other reasons than a signal means a broken process;
// carrying on could only spin.
[[noreturn]] void abortOnPollFailure()
{
    std::perror("modulesim: poll");
    std::abort();
}

// Milliseconds for poll(): rounded up so that the wait never ends early, and
// -1 (forever) without a deadline.
int pollTimeout(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    if (!deadline)
        return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

std::optional<std::chrono::steady_clock::time_point> vanishTime(const Options& options)
{
    if (!options.vanishAfter)
        return std::nullopt;
    return std::chrono::steady_clock::now() + *options.vanishAfter;
}

const Options& checked(const Options& options)
{
    checkOptions(options);
    return options;
}

} // namespace

// A pseudo-terminal pair in raw mode: a real serial line passes every byte as
// it is, with no echo, line editing or newline translation.
Simulator::Line Simulator::openPseudoTerminal()
{
    int master = -1;
    int slave = -1;
    std::array<char, 256> name{};
    if (openpty(&master, &slave, name.data(), nullptr, nullptr) != 0)
        throwSystemError("openpty");
    Simulator::Line line{UniqueFd(master), UniqueFd(slave), name.data()};
    // No other program started from this one should hold the module's end.
    if (fcntl(slave, F_SETFD, FD_CLOEXEC) != 0)
        throwSystemError("fcntl");
    termios settings{};
    if (tcgetattr(master, &settings) != 0)
        throwSystemError("tcgetattr");
    cfmakeraw(&settings);
    if (tcsetattr(master, TCSANOW, &settings) != 0)
        throwSystemError("tcsetattr");
    return line;
}

Simulator::Simulator(Options options) : Simulator(std::move(options), openPseudoTerminal()) {}

Simulator::Simulator(Options options, UniqueFd line, std::string name)
    : Simulator(std::move(options), Line{std::move(line), UniqueFd(), std::move(name)})
{}

Simulator::Simulator(Options options, Line line)
    : options_(checked(options)), vanishAt_(vanishTime(options_)),
      master_(std::move(line.moduleEnd)), heldSlave_(std::move(line.heldProgramEnd)),
      devicePath_(std::move(line.path)), channel_(options_.channel), address_(options_.address),
      answer_(options_.answer), line_(options_)
{
    const int master = master_.get();
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
        throwSystemError("fcntl");
    wakeUp_ = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeUp_.valid())
        throwSystemError("eventfd");
    thread_ = std::thread([this] { run(); });
}

Simulator::~Simulator()
{
    {
        const std::lock_guard guard(mutex_);
        stopAsked_ = true;
    }
    ringWakeUp();
    thread_.join();
    {
        const std::lock_guard guard(mutex_);
        removeOwnLinks();
    }
    // Left in place when something else has been put there meanwhile.
    for (const std::string& dir : createdDirs_) {
        std::error_code error;
        if (std::filesystem::is_empty(dir, error))
            std::filesystem::remove(dir, error);
    }
}

std::string Simulator::linkInto(const std::string& portDir, int comNumber)
{
    // Only the directory itself: a mistyped path must not grow a tree of
    // folders that nobody removes.
    if (std::filesystem::create_directory(portDir))
        createdDirs_.push_back(portDir);
    const std::filesystem::path link =
        std::filesystem::path(portDir) / ("com" + std::to_string(comNumber));
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link))) {
        // A link that leads nowhere was left by a simulator that was killed
        // before it could clean up. One that leads to a device belongs to a
        // simulator still running, or to a real port: taking it over would
        // cut that device off the program.
        if (std::filesystem::exists(link))
            throw std::filesystem::filesystem_error(
                "the link leads to " + std::filesystem::read_symlink(link).string() +
                    ", which is still there; remove the link if it is stale",
                link, std::make_error_code(std::errc::file_exists));
        std::filesystem::remove(link);
    }
    // Under the lock, so that a line vanishing meanwhile removes this link
    // too before its terminal number can be given to another.
    const std::lock_guard guard(mutex_);
    if (vanished_)
        throw std::runtime_error("the simulated line has vanished: " + link.string());
    std::filesystem::create_symlink(devicePath_, link);
    links_.push_back(link.string());
    return link.string();
}

int Simulator::readRequests() const
{
    const std::lock_guard guard(mutex_);
    return static_cast<int>(readRequestTimes_.size());
}

std::vector<std::chrono::steady_clock::time_point> Simulator::readRequestTimes() const
{
    const std::lock_guard guard(mutex_);
    return readRequestTimes_;
}

int Simulator::writeRequests() const
{
    const std::lock_guard guard(mutex_);
    return writeRequests_;
}

std::uint8_t Simulator::channel() const
{
    const std::lock_guard guard(mutex_);
    return channel_;
}

std::string Simulator::address() const
{
    const std::lock_guard guard(mutex_);
    return address_;
}

void Simulator::vanish()
{
    std::unique_lock lock(mutex_);
    if (vanished_)
        return;
    vanishAsked_ = true;
    ringWakeUp();
    vanishedChanged_.wait(lock, [this] { return vanished_; });
}

bool Simulator::vanished() const
{
    const std::lock_guard guard(mutex_);
    return vanished_;
}

void Simulator::waitUntilVanished()
{
    std::unique_lock lock(mutex_);
    vanishedChanged_.wait(lock, [this] { return vanished_; });
}

void Simulator::answerWith(std::optional<std::string> answer)
{
    const std::lock_guard guard(mutex_);
    answer_ = std::move(answer);
}

void Simulator::takeAway()
{
    const std::lock_guard guard(mutex_);
    present_ = false;
}

void Simulator::putOn(std::uint8_t channel, std::string address)
{
    const std::lock_guard guard(mutex_);
    channel_ = channel;
    address_ = std::move(address);
    present_ = true;
}

void Simulator::flood(Bytes bytes)
{
    {
        const std::lock_guard guard(mutex_);
        floodAsked_.insert(floodAsked_.end(), bytes.begin(), bytes.end());
    }
    ringWakeUp();
}

std::size_t Simulator::floodBytesSent() const
{
    const std::lock_guard guard(mutex_);
    return floodBytesSent_;
}

void Simulator::run()
{
    Bytes pending;
    for (;;) {
        bool vanishNow = false;
        Bytes flood;
        {
            const std::lock_guard guard(mutex_);
            if (stopAsked_)
                return;
            vanishNow = vanishAsked_;
            flood.swap(floodAsked_);
        }
        if (master_.valid() && (vanishNow || vanishDue()))
            closeLine();
        if (master_.valid() && !flood.empty() && sendAll(flood)) {
            const std::lock_guard guard(mutex_);
            floodBytesSent_ += flood.size();
        }
        std::array<pollfd, 2> watched{{{wakeUp_.get(), POLLIN, 0}, {master_.get(), POLLIN, 0}}};
        const nfds_t count = master_.valid() ? 2 : 1;
        const int timeout = master_.valid() ? pollTimeout(vanishAt_) : -1;
        if (poll(watched.data(), count, timeout) < 0) {
            if (errno == EINTR)
                continue;
            abortOnPollFailure();
        }
        if (watched[0].revents != 0)
            drainWakeUp();
        if (count == 2 && watched[1].revents != 0)
            serveLine(pending);
    }
}

void Simulator::serveLine(Bytes& pending)
{
    std::array<std::uint8_t, 256> chunk{};
    const ssize_t received = ::read(master_.get(), chunk.data(), chunk.size());
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (received <= 0) {
        closeLine();
        return;
    }
    pending.insert(pending.end(), chunk.begin(), chunk.begin() + received);
    for (const Command& command : takeCommands(pending, options_.generation)) {
        if (command.kind == Command::Kind::Write) {
            noteWriteRequest(command);
            continue;
        }
        const std::optional<Transmission> answer = noteReadRequest();
        if (answer && !sendAnswer(*answer))
            return;
    }
}

std::optional<Transmission> Simulator::noteReadRequest()
{
    const std::lock_guard guard(mutex_);
    readRequestTimes_.push_back(Clock::now());
    const int number = static_cast<int>(readRequestTimes_.size());
    if (options_.requestLog)
        *options_.requestLog << "read request " << number << std::endl;
    if (options_.silent || !present_ || number < options_.answerFrom)
        return std::nullopt;
    if (answer_)
        return line_.carry(number, Bytes(answer_->begin(), answer_->end()));
    return line_.carry(number,
                       readAnswer(options_.generation, options_.layout, channel_, address_));
}

void Simulator::noteWriteRequest(const Command& write)
{
    const std::lock_guard guard(mutex_);
    ++writeRequests_;
    if (options_.requestLog)
        *options_.requestLog << "write request " << writeRequests_ << ": channel "
                             << static_cast<int>(write.channel) << std::endl;
    if (options_.ignoreWrites || !present_)
        return;
    channel_ = write.channel;
    address_ = write.address;
}

bool Simulator::sendAnswer(const Transmission& answer)
{
    if (!answer.lead.empty() && !sendAll(answer.lead))
        return false;
    bool first = true;
    for (const Bytes& piece : splitIntoPieces(answer.answer, options_.pieces)) {
        if (!first && !pauseUntil(Clock::now() + options_.piecePause))
            return false;
        first = false;
        if (!sendAll(piece))
            return false;
    }
    return true;
}

bool Simulator::sendAll(const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = ::write(master_.get(), bytes.data() + sent, bytes.size() - sent);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            closeLine();
            return false;
        }
        // The program is not reading and the line's buffer is full.
        std::array<pollfd, 2> watched{{{wakeUp_.get(), POLLIN, 0}, {master_.get(), POLLOUT, 0}}};
        if (poll(watched.data(), watched.size(), pollTimeout(vanishAt_)) < 0 && errno != EINTR)
            abortOnPollFailure();
        if (stopOrVanishAsked() || vanishDue())
            return false;
    }
    return true;
}

bool Simulator::pauseUntil(Clock::time_point until)
{
    // Vanishing cuts a pause short, as pulling the adapter would.
    const Clock::time_point end = vanishAt_ ? std::min(until, *vanishAt_) : until;
    for (;;) {
        if (stopOrVanishAsked())
            return false;
        if (Clock::now() >= end)
            return !vanishDue();
        pollfd watched{wakeUp_.get(), POLLIN, 0};
        if (poll(&watched, 1, pollTimeout(end)) < 0 && errno != EINTR)
            abortOnPollFailure();
    }
}

bool Simulator::stopOrVanishAsked() const
{
    const std::lock_guard guard(mutex_);
    return stopAsked_ || vanishAsked_;
}

bool Simulator::vanishDue() const
{
    return vanishAt_ && Clock::now() >= *vanishAt_;
}

// Closed under the lock, so that whoever sees the hang-up finds vanished()
// true.
void Simulator::removeOwnLinks()
{
    for (const std::string& link : links_) {
        std::error_code error;
        if (std::filesystem::read_symlink(link, error) == devicePath_)
            std::filesystem::remove(link, error);
    }
    links_.clear();
}

void Simulator::closeLine()
{
    const std::lock_guard guard(mutex_);
    // A pulled adapter's device node goes with it. The links go first: once
    // the line is closed the system may give its terminal number to the next
    // pseudo-terminal, and a link left behind would lead a program there.
    removeOwnLinks();
    master_.reset();
    heldSlave_.reset();
    vanished_ = true;
    vanishedChanged_.notify_all();
}

// The counter of the eventfd only rings a bell; the thread reads what was
// asked from the flags, so rings may merge.
void Simulator::ringWakeUp() const
{
    const std::uint64_t one = 1;
    while (::write(wakeUp_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Simulator::drainWakeUp() const
{
    std::uint64_t count = 0;
    while (::read(wakeUp_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace modulesim
