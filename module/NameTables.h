// Display names of the port and speed indices the main window uses.
#pragma once

#include <QStringList>

// "COM1" to "COM21": the name of port index i is entry i.
const QStringList& PortNames();
// "110" to "115200": the name of speed index i is entry i.
const QStringList& SpeedNames();
