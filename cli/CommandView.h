// What a command of melvix-module keeps of what the module sequences report,
// and the progress it shows while a scan runs.
#pragma once

#include "CommandLine.h"
#include "ModuleView.h"
#include "PortDiagnosis.h"
#include "PortReport.h"
#include "PortSeen.h"
#include "RadioText.h"
#include "Terminal.h"

#include <QList>
#include <QString>

#include <cstdio>

namespace cli {

// Shows on stderr, while it lasts, which port a scan is trying; only on a
// terminal, so that scripts and logs get none of it.
class Progress
{
public:
    Progress() : shown_(StandardErrorIsTerminal()) {}
    ~Progress()
    {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(const QString& text) const
    {
        if (!shown_)
            return;
        std::fprintf(stderr, "\r\033[K%s", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }

private:
    const bool shown_;
};

// What the sequences report, kept for the command's output: the last radio
// data decoded, the last reply refused, the last error, and during a scan
// what each port did. Status texts and log lines are the window's and are
// not printed.
class CommandView final : public TModuleView
{
public:
    CommandView(const Settings& settings, const Progress& progress)
        : settings_(settings), progress_(progress)
    {}

    void SetStatus(const QString&, const QString&, const QString&) override {}
    void AppendLog(const QString&) override {}
    void ShowRadioData(const QString& address, int channel) override
    {
        this->address = address;
        this->channel = channel;
        if (scanning && !address.isEmpty() && !seen.isEmpty())
            seen.last().raise(PortSeen::Outcome::Answered);
    }
    void ShowError(const QString& message) override { error = message; }
    int Generation() const override { return settings_.generation; }
    QString Address() const override { return address; }
    int Channel() override { return settings_.channel.value_or(0); }
    void TryingPort(int portIndex) override
    {
        progress_.show(QStringLiteral("Trying %1 ...").arg(PortName(portIndex)));
        if (!scanning)
            return;
        PortSeen port{portIndex + 1, PortSeen::Outcome::NoAnswer, {}, {}, 0, {}};
        port.diagnosis.portNumber = port.portNumber;
        seen.append(port);
    }
    void PortTried(const PortOpening& opening) override
    {
        if (!scanning || seen.isEmpty())
            return;
        seen.last().opening = opening;
        if (opening.opened)
            return;
        seen.last().outcome = PortSeen::Outcome::NotOpened;
        seen.last().diagnosis = DiagnoseOpening(opening);
    }
    void ReplyRefused(const QString& address, int channel) override
    {
        refusedAddress = address;
        refusedChannel = channel;
        refused = true;
        if (!scanning || seen.isEmpty() || seen.last().outcome >= PortSeen::Outcome::AddressRefused)
            return;
        seen.last().outcome = PortSeen::Outcome::AddressRefused;
        seen.last().address = address;
        seen.last().channelValue = ChannelValue(channel);
    }
    // Bytes arrived, whatever became of them.
    void bytesArrived()
    {
        answered = true;
        if (scanning && !seen.isEmpty())
            seen.last().raise(PortSeen::Outcome::UnreadableAnswer);
    }
    void forgetReplies()
    {
        answered = false;
        refused = false;
    }

    QString address;
    int channel = 0;
    QString error;
    bool answered = false;
    bool refused = false;
    QString refusedAddress;
    int refusedChannel = 0;
    // Set while a sequential scan runs.
    bool scanning = false;
    QList<PortSeen> seen;

private:
    const Settings& settings_;
    const Progress& progress_;
};

} // namespace cli
