// Dismisses the message boxes that code under test opens, recording each, so
// that a test goes on where a user would have clicked OK.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        // Milliseconds since the watcher started, when it was dismissed.
        qint64 dismissedAt;
    };

    ModalWatcher();
    const std::vector<Seen>& seen() const { return seen_; }
    qint64 elapsed() const { return clock_.elapsed(); }

private:
    void dismissOpenBox();

    QTimer timer_;
    QElapsedTimer clock_;
    std::vector<Seen> seen_;
};
