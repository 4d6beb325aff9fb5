// A pseudo-terminal pair linked into a fresh port map directory, standing for
// a serial port with a device at its other end.
#pragma once

#include <QTemporaryDir>

#include <chrono>
#include <string>
#include <vector>

class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    // A descriptor of the program's end, for looking at its line settings.
    int programEnd() const { return slave_; }
    // The bytes sent from the master end that wait at the program's end.
    int waitingAtProgramEnd() const;
    const std::string& slavePath() const { return slavePath_; }

    // Writes all of `bytes` into the master end.
    void send(const std::vector<unsigned char>& bytes) const;
    void send(const std::string& text) const;
    // Reads from the master end until `count` bytes came or `timeout` passed.
    std::vector<unsigned char>
    receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;
    // Closes the master end: the adapter is pulled out.
    void hangUp();

private:
    int master_ = -1;
    // Held open so that the master end never sees a hang-up while the
    // component has the device closed.
    int slave_ = -1;
    std::string slavePath_;
};

// A port map directory set as MELVIX_PORT_DIR for the lifetime of the object.
class PortMap
{
public:
    PortMap();
    ~PortMap();
    PortMap(const PortMap&) = delete;
    PortMap& operator=(const PortMap&) = delete;

    // Makes COMn name `target`.
    void link(int comNumber, const std::string& target) const;
    std::string path() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_;
};
