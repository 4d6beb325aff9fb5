// The module's radio data as text: control characters shown escaped, so that
// neither a module nor a port map can drive the user's terminal, and the
// channel as the byte's value 0 to 255.
#pragma once

#include "RadioReading.h"

#include <QList>
#include <QString>

// The channels a module is meant to hold, and that a write command may set.
constexpr int LowestChannel = 1;
constexpr int HighestChannel = 83;

// `text` with each control character (C0, DEL, C1) and each backslash
// written as \xHH and \\, so that every character of a module's address can
// be told from the escape of another.
QString Printable(const QString& text);

// `text` with each control character written as \xHH: a whole line, whose
// backslashes need no escape.
QString ControlsEscaped(const QString& text);

// A channel as carried by a reply (a signed byte), as the byte's value.
int ChannelValue(int channel);
bool ChannelValid(int channelValue);

// The address as text shows it: Printable, and "" when the module sent none
// (its first byte was zero), so that a line never shows a gap in its place.
QString AddressText(const QString& address);
// "channel 200 (outside 1 to 83), address W\x1bXY".
QString RadioDataText(const QString& address, int channelValue);
// The readings in order: "channel 5, address WXYZ; then channel 97, ...".
QString ReadingsText(const QList<RadioReading>& readings);
