/* What a serial port does, in the fewest calls, where Wine and Windows
 * differ: a second exclusive open, the modem status, one WaitCommEvent with a
 * modem-line event in the mask and one with EV_RXCHAR alone while nothing
 * arrives. wine.sh runs it on a port that leads to a pseudo-terminal, where
 * Wine cannot read modem lines (TIOCMGET fails), to show why the serial
 * component there finds input by looking at the queue, and why the exclusive
 * open is not checked under Wine.
 *   serial_probe.exe COMn
 */
#include <windows.h>

#include <stdio.h>

static void wait_once(HANDLE port, DWORD mask, const char *what)
{
    OVERLAPPED overlapped = {0};
    DWORD events = 0, transferred = 0, started;

    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetCommMask(port, mask);
    started = GetTickCount();
    if (WaitCommEvent(port, &events, &overlapped))
        printf("WaitCommEvent(%s): done at once, events %#lx\n", what, events);
    else if (GetLastError() != ERROR_IO_PENDING)
        printf("WaitCommEvent(%s): fails at once, error %lu\n", what, GetLastError());
    else if (WaitForSingleObject(overlapped.hEvent, 1000) == WAIT_TIMEOUT)
        printf("WaitCommEvent(%s): pending for 1 s, as it should while nothing comes\n", what);
    else if (GetOverlappedResult(port, &overlapped, &transferred, FALSE))
        printf("WaitCommEvent(%s): done after %lu ms, events %#lx\n", what,
               GetTickCount() - started, events);
    else
        printf("WaitCommEvent(%s): pending, then fails after %lu ms with error %lu\n", what,
               GetTickCount() - started, GetLastError());
    CloseHandle(overlapped.hEvent);
}

int main(int argc, char **argv)
{
    char name[32];
    HANDLE port, second;
    DWORD status = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: serial_probe COMn\n");
        return 64;
    }
    snprintf(name, sizeof name, "\\\\.\\%s", argv[1]);
    port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        printf("CreateFile(%s): error %lu\n", name, GetLastError());
        return 1;
    }
    second = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, NULL);
    if (second == INVALID_HANDLE_VALUE)
        printf("CreateFile(%s) again while open: error %lu\n", name, GetLastError());
    else {
        printf("CreateFile(%s) again while open: opened too\n", name);
        CloseHandle(second);
    }
    if (GetCommModemStatus(port, &status))
        printf("GetCommModemStatus: %#lx\n", status);
    else
        printf("GetCommModemStatus: error %lu\n", GetLastError());
    wait_once(port, EV_RXCHAR | EV_CTS, "EV_RXCHAR | EV_CTS");
    wait_once(port, EV_RXCHAR, "EV_RXCHAR");
    CloseHandle(port);
    return 0;
}
