#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Case-insensitive comparisons that follow the user's language, used to sort
// and prefer devices and to compare file extensions.

// Three-way: negative, zero or positive. Letter case never decides; digits
// compare as characters (so "101" sorts before "9").
int localizedCaseInsensitiveCompare(const QString &a, const QString &b);

// The first name that holds the first keyword, else the second, and so on;
// the first name when none matches; nothing when `names` is empty. Both
// device lists choose their preferred device with it.
std::optional<QString> preferredPortName(const QStringList &names, const QStringList &keywords);

// White space and line breaks removed at both ends (Unicode's definition).
QString trimmedText(const QString &text);
