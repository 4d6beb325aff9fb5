// What one read of a module decoded, and the rule that makes an address safe
// to send back: a write command carries the address that was read, so a
// single decode fooled by a line that misbehaved once (an answer cut short, a
// stray byte, the rest of an earlier answer) would store a wrong address in
// the module. An address is trusted only when two consecutive readings agree
// on channel and address.
#pragma once

#include <QList>
#include <QString>

struct RadioReading
{
    QString address;
    // As the reply carries it, a signed byte.
    int channel = 0;

    friend bool operator==(const RadioReading&, const RadioReading&) = default;
};

class ReadingConfirmation
{
public:
    // One reading, and at most two more when the first ones disagree.
    static constexpr int MostReadings = 3;

    void add(const RadioReading& reading) { readings_.append(reading); }
    // The last two readings agree.
    bool confirmed() const;
    // Another reading may still confirm.
    bool wantsMore() const { return !confirmed() && readings_.size() < MostReadings; }
    // The confirmed reading once confirmed(); the latest otherwise.
    const RadioReading& last() const { return readings_.last(); }
    const QList<RadioReading>& readings() const { return readings_; }

private:
    QList<RadioReading> readings_;
};
