// What the main window shows, read through its controls' names as a user
// would see it.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <gtest/gtest.h>

template <class Control> Control* ControlOf(const QWidget& window, const char* name)
{
    auto* found = window.findChild<Control*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QStringList StatusPanels(const QWidget& window);
QString AddressText(const QWidget& window);
QString ChannelText(const QWidget& window);
QStringList LogLines(const QWidget& window);
