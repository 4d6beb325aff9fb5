#include "SystemUser.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

QString SystemUserName()
{
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString::number(geteuid());
    return QString::fromLocal8Bit(found->pw_name);
}
