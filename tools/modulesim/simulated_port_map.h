// Simulated modules on COM1 upward of a port map of their own, and a program
// started with MELVIX_PORT_DIR naming that map: melvix-module writing the
// modules, for the tests and benchmarks that replay line faults. A program
// still running when the map goes is killed.
#pragma once

#include "simulator.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace modulesim {

class SimulatedPortMap
{
public:
    SimulatedPortMap() = default;
    ~SimulatedPortMap();
    SimulatedPortMap(const SimulatedPortMap&) = delete;
    SimulatedPortMap& operator=(const SimulatedPortMap&) = delete;

    // A module with these options on the next COM number.
    void addModule(const Options& options);
    void start(const QString& program, const QStringList& arguments);

    const Simulator& module(std::size_t index) const { return *modules_[index]; }
    QProcess& program() { return program_; }
    const QProcess& program() const { return program_; }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<Simulator>> modules_;
    QProcess program_;
};

} // namespace modulesim
