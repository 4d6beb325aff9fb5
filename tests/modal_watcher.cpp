#include "modal_watcher.h"

#include <QApplication>
#include <QMessageBox>

ModalWatcher::ModalWatcher()
{
    clock_.start();
    connect(&timer_, &QTimer::timeout, this, &ModalWatcher::dismissActiveModal);
    timer_.start(10);
}

void ModalWatcher::dismissActiveModal()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box)
        return;
    seen_.push_back({box->windowTitle(), box->text(), clock_.elapsed()});
    box->done(QMessageBox::Ok);
}
