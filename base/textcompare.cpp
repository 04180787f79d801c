#include "base/textcompare.h"

#include <QCollator>
#include <QLocale>

namespace {

const QCollator &collator()
{
    static const QCollator instance = [] {
        // Qt's collator ignores its locale rules for the C locale and falls back to
        // a plain code-point order, so the device lists would be sorted one way
        // under LANG=C and another under a real language. English rules give the
        // usual order for the ASCII device names in both cases.
        const QLocale system = QLocale::system();
        const bool plain = system.language() == QLocale::C || system.language() == QLocale::AnyLanguage;
        QCollator c(plain ? QLocale(QLocale::English, QLocale::UnitedStates) : system);
        c.setCaseSensitivity(Qt::CaseInsensitive);
        c.setNumericMode(false);
        c.setIgnorePunctuation(false);
        return c;
    }();
    return instance;
}

bool localizedCaseInsensitiveContains(const QString &text, const QString &part)
{
    return text.contains(part, Qt::CaseInsensitive);
}

} // namespace

int localizedCaseInsensitiveCompare(const QString &a, const QString &b)
{
    return collator().compare(a, b);
}

std::optional<QString> preferredPortName(const QStringList &names, const QStringList &keywords)
{
    if (names.isEmpty())
        return std::nullopt;
    for (const QString &keyword : keywords) {
        for (const QString &name : names) {
            if (localizedCaseInsensitiveContains(name, keyword))
                return name;
        }
    }
    return names.first();
}

QString trimmedText(const QString &text)
{
    // QChar::isSpace covers the Unicode space separators, tab, line feed,
    // vertical tab, form feed, carriage return, NEL, LS and PS.
    return text.trimmed();
}
