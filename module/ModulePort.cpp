#include "ModulePort.h"

#include "SerialSettings.h"

ModulePort::ModulePort(ComPort port, int generation, int channelToWrite, bool fullReplyWaits)
    : port(port), com(std::make_unique<TRadioCom>()), view(generation, channelToWrite),
      session(*com, view)
{
    ApplySerialSettings(*com);
    session.CollectReplies = true;
    session.FullReplyWaits = fullReplyWaits;
    session.PortIndex = port.index();
    com->SetOnReceive([this](std::int32_t count) {
        if (count > 0)
            view.bytesArrived = true;
        session.HandleReceived(count);
    });
}

ModulePort::~ModulePort()
{
    if (com)
        com->SetOnReceive({});
}
