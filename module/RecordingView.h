// A view that keeps what the sequences report about one port for whoever
// runs them: the radio data decoded and the last reply refused. Status
// texts, log lines and the window's error boxes are dropped.
#pragma once

#include "ModuleView.h"

class RecordingView final : public TModuleView
{
public:
    // A write command carries `channelToWrite` and the address decoded.
    explicit RecordingView(int generation, int channelToWrite = 0)
        : generation_(generation), channelToWrite_(channelToWrite)
    {}

    void SetStatus(const QString&, const QString&, const QString&) override {}
    void AppendLog(const QString&) override {}
    void ShowRadioData(const QString& address, int channel) override
    {
        this->address = address;
        this->channel = channel;
    }
    void ShowError(const QString&) override {}
    int Generation() const override { return generation_; }
    QString Address() const override { return address; }
    int Channel() override { return channelToWrite_; }
    void ReplyRefused(const QString& address, int channel) override
    {
        refusedAddress = address;
        refusedChannel = channel;
        refused = true;
    }

    QString address;
    int channel = 0;
    bool bytesArrived = false;
    bool refused = false;
    QString refusedAddress;
    int refusedChannel = 0;

private:
    const int generation_;
    const int channelToWrite_;
};
