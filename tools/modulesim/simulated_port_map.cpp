#include "simulated_port_map.h"

#include <QProcessEnvironment>

namespace modulesim {

SimulatedPortMap::~SimulatedPortMap()
{
    if (program_.state() != QProcess::NotRunning) {
        program_.kill();
        program_.waitForFinished();
    }
}

void SimulatedPortMap::addModule(const Options& options)
{
    modules_.push_back(std::make_unique<Simulator>(options));
    modules_.back()->linkInto(dir_.path().toStdString(), static_cast<int>(modules_.size()));
}

void SimulatedPortMap::start(const QString& program, const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MELVIX_PORT_DIR"), dir_.path());
    program_.setProcessEnvironment(environment);
    program_.start(program, arguments);
}

} // namespace modulesim
