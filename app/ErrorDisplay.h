// The display for errors that no handler catches: a modal message box with
// the error icon, titled with the application title.
#pragma once

#include <QString>

// The executable file's name without its directory, cut at its first ".",
// every character after the first in lower case.
QString ApplicationTitle(const QString& executablePath);

// The error's message, with a full stop added when it ends in a character
// above "." (a letter or a digit, say) and not when it ends in ".", "!", ")"
// or a blank.
QString ErrorDisplayText(const QString& message);

// Shows the message box and returns when it is dismissed.
void ShowErrorDisplay(const QString& message);
