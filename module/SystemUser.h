// The name of the user this program runs as, as the system knows it: the
// account, not what the environment claims, which a service or sudo may not
// set or may leave from another user.
#pragma once

#include <QString>

// The number of the account when it has no name; empty on Windows when the
// system tells none.
QString SystemUserName();
