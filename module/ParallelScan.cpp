#include "ParallelScan.h"

#include "ModulePort.h"
#include "ModuleProtocol.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "RadioText.h"
#include "RecordingView.h"

#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

using namespace ModuleTiming;

namespace {

// A port the scan probes.
using PortProbe = ModulePort;

using Probes = std::vector<std::unique_ptr<PortProbe>>;

// Sends the read command to each probe that `asked` picks, waits for the
// answers and lets them be decoded; a wait that ends on the answers ends
// once `done` holds.
void AskRound(const Probes& probes, int generation,
              const std::function<bool(const PortProbe&)>& asked, bool endWaitOnReply,
              const std::function<bool()>& done)
{
    std::vector<TModuleSession*> sessions;
    for (const auto& probe : probes) {
        if (asked(*probe)) {
            probe->session.SendReadCommand(generation);
            sessions.push_back(&probe->session);
        }
    }
    AwaitReplies(sessions, endWaitOnReply, done);
}

} // namespace

PortSeen ProbedPortSeen(int portIndex, const RecordingView& view, bool replyDecoded)
{
    using Outcome = PortSeen::Outcome;
    PortSeen seen{portIndex + 1, Outcome::NoAnswer, {}, {}, 0, {}};
    seen.diagnosis.portNumber = seen.portNumber;
    if (replyDecoded) {
        seen.outcome = Outcome::Answered;
    } else if (view.refused) {
        seen.outcome = Outcome::AddressRefused;
        seen.address = view.refusedAddress;
        seen.channelValue = ChannelValue(view.refusedChannel);
    } else if (view.bytesArrived) {
        seen.outcome = Outcome::UnreadableAnswer;
    }
    return seen;
}

ParallelScanResult ScanPortsInParallel(const std::function<void(int round)>& round,
                                       bool endWaitOnReply, const QList<int>& portIndices)
{
    ParallelScanResult result;
    Probes probes;
    for (const int index : portIndices) {
        auto probe = std::make_unique<PortProbe>(ComPort::fromIndex(index), ModuleProtocol::V5, 0,
                                                 !endWaitOnReply);
        if (probe->session.OpenPort(probe->port))
            probes.push_back(std::move(probe));
        else
            result.seen.append(NotOpenedSeen(probe->com->LastOpening()));
    }
    QThread::msleep(PauseAfterOpenMs);

    PortProbe* best = nullptr;
    // Only ports below the best answer so far can still win.
    const auto stillAsked = [&best](const PortProbe& probe) {
        return !best || probe.port.index() < best->port.index();
    };
    for (int send = 1; send <= ReadCommandSends && !probes.empty(); ++send) {
        round(send);
        // Once the lowest port that opened has answered, no other can win.
        AskRound(probes, ModuleProtocol::V5, stillAsked, endWaitOnReply,
                 [&] { return probes.front()->session.ReplyEnded(); });
        for (const auto& probe : probes) {
            if (!stillAsked(*probe))
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
    for (const auto& probe : probes) {
        result.seen.append(
            ProbedPortSeen(probe->port.index(), probe->view, probe->session.ReplyDecoded));
        result.seen.last().opening = probe->com->LastOpening();
    }
    std::sort(result.seen.begin(), result.seen.end(),
              [](const PortSeen& a, const PortSeen& b) { return a.portNumber < b.portNumber; });
    if (best) {
        result.portIndex = best->port.index();
        result.address = best->view.address;
        result.channel = best->view.channel;
        best->com->SetOnReceive({});
        result.port = std::move(best->com);
    }
    return result;
}

void AskInV4(QList<PortSeen>& seen, bool endWaitOnReply)
{
    using Outcome = PortSeen::Outcome;
    Probes probes;
    for (const PortSeen& port : seen) {
        if (port.outcome != Outcome::NoAnswer && port.outcome != Outcome::UnreadableAnswer)
            continue;
        auto probe = std::make_unique<PortProbe>(ComPort{port.portNumber}, ModuleProtocol::V4, 0,
                                                 !endWaitOnReply);
        if (probe->session.OpenPort(probe->port))
            probes.push_back(std::move(probe));
    }
    if (probes.empty())
        return;
    QThread::msleep(PauseAfterOpenMs);
    const auto unanswered = [](const PortProbe& probe) { return !probe.session.ReplyDecoded; };
    const auto allEnded = [&] {
        return std::all_of(probes.begin(), probes.end(),
                           [](const auto& probe) { return probe->session.ReplyEnded(); });
    };
    for (int send = 1; send <= ReadCommandSends; ++send) {
        AskRound(probes, ModuleProtocol::V4, unanswered, endWaitOnReply, allEnded);
        if (std::none_of(probes.begin(), probes.end(),
                         [&](const auto& probe) { return unanswered(*probe); }))
            break;
    }
    for (PortSeen& port : seen) {
        for (const auto& probe : probes) {
            if (probe->port.index() + 1 == port.portNumber && probe->session.ReplyDecoded) {
                port.outcome = Outcome::V4Answer;
                port.address = probe->view.address;
                port.channelValue = ChannelValue(probe->view.channel);
            }
        }
    }
}
