// What melvix-module prints: text lines whose control characters are shown
// escaped, so that neither a module nor a port map can drive the user's
// terminal; JSON objects with their own exact escaping; and the radio data in
// both forms, the channel as the byte's value 0 to 255.
#pragma once

#include "RadioReading.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <cstdio>

// The channels a module is meant to hold, and that a write command may set.
constexpr int LowestChannel = 1;
constexpr int HighestChannel = 83;

// `text` with each control character (C0, DEL, C1) and each backslash
// written as \xHH and \\, so that every character of a module's address can
// be told from the escape of another.
QString Printable(const QString& text);

// One line; the control characters of the whole line are shown escaped.
void PrintLine(std::FILE* stream, const QString& line);
// One compact JSON object and a newline on stdout.
void PrintJson(const QJsonObject& object);
// One compact JSON array and a newline on stdout.
void PrintJsonArray(const QJsonArray& array);

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
// "address", "channel" and "channelValid", added to `object`.
void InsertRadioData(QJsonObject& object, const QString& address, int channelValue);

// Flushes stdout and tells on stderr when anything written to it was lost
// (a full disk, a closed pipe); false then.
bool StandardOutputWritten();
