// The module on COM21 behind 20 ports that never answer: the window's scan
// tries them one after another, the parallel scan probes them all together.
#include "detection_bench.h"
#include "measure.h"

#include "ModuleProtocol.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "ParallelScan.h"
#include "SerialSettings.h"
#include "simulator.h"

#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

constexpr int Runs = 3;

class SilentView final : public TModuleView
{
public:
    void SetStatus(const QString&, const QString&, const QString&) override {}
    void AppendLog(const QString&) override {}
    void ShowRadioData(const QString&, int) override {}
    void ShowError(const QString&) override {}
    int Generation() const override { return ModuleProtocol::V5; }
    QString Address() const override { return {}; }
    int Channel() override { return 0; }
};

struct Session
{
    Session() : session(com, view)
    {
        ApplySerialSettings(com);
        com.SetOnReceive([this](std::int32_t count) { session.HandleReceived(count); });
    }
    TRadioCom com;
    SilentView view;
    TModuleSession session;
};

// Opening the 21 ports with the scan's settings, closing them outside the
// time.
double opensMs()
{
    std::vector<std::unique_ptr<Session>> sessions;
    for (int index = 0; index <= 20; ++index)
        sessions.push_back(std::make_unique<Session>());
    return timeMs([&] {
        for (int index = 0; index <= 20; ++index) {
            if (!sessions[static_cast<std::size_t>(index)]->session.OpenPort(
                    ComPort::fromIndex(index)))
                std::abort();
        }
    });
}

} // namespace

std::vector<Figure> detectionFigures()
{
    QTemporaryDir map;
    qputenv("MELVIX_PORT_DIR", map.path().toLocal8Bit());
    std::vector<std::unique_ptr<modulesim::Simulator>> modules;
    for (int com = 1; com <= 21; ++com) {
        modules.push_back(
            std::make_unique<modulesim::Simulator>(modulesim::Options{.silent = com < 21}));
        modules.back()->linkInto(map.path().toStdString(), com);
    }

    std::vector<double> sequential;
    std::vector<double> parallel;
    std::vector<double> opens;
    for (int run = 0; run < Runs; ++run) {
        sequential.push_back(timeMs([] {
            Session scan;
            if (!scan.session.DetectModule() || scan.session.PortIndex != 20)
                std::abort();
        }));
        parallel.push_back(timeMs([] {
            if (ScanPortsInParallel([](int) {}).portIndex != 20)
                std::abort();
        }));
        opens.push_back(opensMs());
    }
    const double floor = ModuleTiming::ReadCommandSends * ModuleTiming::ReplyWaitMs + median(opens);
    return {
        {"Detection on COM21 behind 20 silent ports, parallel (median of 3)", "ms",
         median(parallel), "the same, sequential", median(sequential), 0.07},
        {"Detection on COM21 behind 20 silent ports, parallel (median of 3)", "ms",
         median(parallel), "3 x 50 ms + opening 21 ports", floor, 1.1},
    };
}
