#include "SystemUser.h"

#include <windows.h>

QString SystemUserName()
{
    // UNLEN + 1, from lmcons.h.
    wchar_t name[257];
    DWORD length = sizeof name / sizeof name[0];
    if (!GetUserNameW(name, &length) || length == 0)
        return {};
    // The length counts the terminating null.
    return QString::fromWCharArray(name, static_cast<int>(length - 1));
}
