#include "pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
}

PtyPair::~PtyPair()
{
    hangUp();
    ::close(slave_);
}

void PtyPair::send(const std::vector<unsigned char>& bytes) const
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd entry{master_, POLLOUT, 0};
            poll(&entry, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            throw std::runtime_error("write to the pty master failed");
        }
    }
}

void PtyPair::send(const std::string& text) const
{
    send(std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> PtyPair::receive(std::size_t count,
                                            std::chrono::milliseconds timeout) const
{
    std::vector<unsigned char> bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd entry{master_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            continue;
        unsigned char chunk[256];
        const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (n > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return bytes;
}

int PtyPair::waitingAtProgramEnd() const
{
    int waiting = 0;
    return ioctl(slave_, FIONREAD, &waiting) == 0 ? waiting : -1;
}

void PtyPair::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

PortMap::PortMap()
{
    const char* previous = std::getenv("MELVIX_PORT_DIR");
    hadPrevious_ = previous != nullptr;
    if (previous)
        previous_ = previous;
    setenv("MELVIX_PORT_DIR", path().c_str(), 1);
}

PortMap::~PortMap()
{
    if (hadPrevious_)
        setenv("MELVIX_PORT_DIR", previous_.constData(), 1);
    else
        unsetenv("MELVIX_PORT_DIR");
}

void PortMap::link(int comNumber, const std::string& target) const
{
    const std::string entry = path() + "/com" + std::to_string(comNumber);
    if (symlink(target.c_str(), entry.c_str()) != 0)
        throw std::runtime_error("cannot link " + entry);
}
