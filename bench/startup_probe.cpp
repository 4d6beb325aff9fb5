// Starts as the program does (or, with --bare, as a bare Qt window of the
// program's size, the baseline), says "shown" on its standard output once its
// window is up, stays for --stay milliseconds and closes the window, which
// ends it. The benchmark driver times and measures it from outside.
#include "Application.h"
#include "Radio.h"
#include "RunProgram.h"

#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int stayMs = 0;

void reportShown(QWidget& window)
{
    std::puts("shown");
    std::fflush(stdout);
    QTimer::singleShot(stayMs, &window, &QWidget::close);
}

} // namespace

int main(int argc, char** argv)
{
    bool bare = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bare") == 0)
            bare = true;
        else if (std::strcmp(argv[i], "--stay") == 0 && i + 1 < argc)
            stayMs = std::atoi(argv[++i]);
    }
    if (bare) {
        QApplication application(argc, argv);
        QMainWindow window;
        window.resize(459, 387);
        window.show();
        QTimer::singleShot(0, &window, [&] { reportShown(window); });
        return QApplication::exec();
    }
    TApplication application(argc, argv);
    return RunProgram([](TMainForm& window) { reportShown(window); });
}
