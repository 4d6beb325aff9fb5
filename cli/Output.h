// What melvix-module prints: text lines whose control characters are shown
// escaped, so that neither a module nor a port map can drive the user's
// terminal; JSON objects with their own exact escaping; and the radio data in
// both forms, the channel as the byte's value 0 to 255.
#pragma once

#include "RadioText.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <cstdio>

// What stays drawn below the printed lines on a terminal, such as a live
// table: erased before each line that PrintLine prints and drawn again
// after it, so that the lines scroll above it.
class ScreenFooter
{
public:
    virtual ~ScreenFooter() = default;
    virtual void erase() = 0;
    virtual void draw() = 0;
};

// The footer PrintLine keeps below its lines from now on; none with null.
void SetScreenFooter(ScreenFooter* footer);

// One line; the control characters of the whole line are shown escaped.
void PrintLine(std::FILE* stream, const QString& line);
// One compact JSON object and a newline on stdout.
void PrintJson(const QJsonObject& object);
// One compact JSON array and a newline on stdout.
void PrintJsonArray(const QJsonArray& array);

// "address", "channel" and "channelValid", added to `object`.
void InsertRadioData(QJsonObject& object, const QString& address, int channelValue);

// Flushes stdout and tells on stderr when anything written to it was lost
// (a full disk, a closed pipe); false then.
bool StandardOutputWritten();
// Tells on stderr that standard output could not be written, with the
// system's `error` when it is known (not 0).
void ReportOutputError(int error);
