#pragma once

#include <QString>

// Case-insensitive comparisons that follow the user's language, used to sort
// and prefer devices and to compare file extensions.

// Three-way: negative, zero or positive. Letter case never decides; digits
// compare as characters (so "101" sorts before "9").
int localizedCaseInsensitiveCompare(const QString &a, const QString &b);
bool localizedCaseInsensitiveContains(const QString &text, const QString &part);

// White space and line breaks removed at both ends (Unicode's definition).
QString trimmedText(const QString &text);
