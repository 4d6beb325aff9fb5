#include "ParallelScan.h"

#include "CliSettings.h"
#include "ModuleProtocol.h"
#include "ModuleSession.h"
#include "ModuleView.h"

#include <QCoreApplication>
#include <QThread>

#include <memory>
#include <vector>

using namespace ModuleTiming;

namespace {

// Keeps what the probe of one port decoded.
class ProbeView final : public TModuleView
{
public:
    void SetStatus(const QString&, const QString&, const QString&) override {}
    void AppendLog(const QString&) override {}
    void ShowRadioData(const QString& address, int channel) override
    {
        this->address = address;
        this->channel = channel;
    }
    void ShowError(const QString&) override {}
    int Generation() const override { return ModuleProtocol::V5; }
    QString Address() const override { return address; }
    int Channel() override { return channel; }

    QString address;
    int channel = 0;
};

struct PortProbe
{
    explicit PortProbe(int index) : index(index), session(com, view)
    {
        ConfigureLikeTheWindow(com);
        com.SetOnReceive([this](std::int32_t count) { session.HandleReceived(count); });
    }

    const int index;
    TRadioCom com;
    ProbeView view;
    TModuleSession session;
};

} // namespace

ParallelScanResult ScanPortsInParallel(const std::function<void(int round)>& round,
                                       bool endWaitOnReply)
{
    ParallelScanResult result;
    std::vector<std::unique_ptr<PortProbe>> probes;
    for (int index = FirstPortTried; index <= LastPortTried; ++index) {
        auto probe = std::make_unique<PortProbe>(index);
        probe->session.EndWaitOnReply = endWaitOnReply;
        if (probe->session.OpenPort(index))
            probes.push_back(std::move(probe));
        else
            result.unopened.append(index);
    }
    QThread::msleep(PauseAfterOpenMs);

    PortProbe* best = nullptr;
    for (int send = 1; send <= ReadCommandSends && !probes.empty(); ++send) {
        round(send);
        // Only ports below the best answer so far can still win.
        for (const auto& probe : probes) {
            if (best && probe->index >= best->index)
                break;
            probe->session.SendReadCommand(ModuleProtocol::V5);
        }
        if (endWaitOnReply) {
            // Once the lowest port that opened has answered, no other can win.
            AwaitEvents(ReplyWaitMs, [&] { return probes.front()->session.ReplyDecoded; });
            for (const auto& probe : probes)
                probe->session.EndReplyWait();
        } else {
            QThread::msleep(ReplyWaitMs);
            QCoreApplication::processEvents();
        }
        for (const auto& probe : probes) {
            if (best && probe->index >= best->index)
                break;
            if (probe->session.ReplyDecoded) {
                best = probe.get();
                break;
            }
        }
        // No port below the lowest one that opened is left to answer.
        if (best == probes.front().get())
            break;
    }
    if (best) {
        result.portIndex = best->index;
        result.address = best->view.address;
        result.channel = best->view.channel;
    }
    return result;
}
