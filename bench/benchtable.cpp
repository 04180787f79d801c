#include "benchtable.h"

#include "samples.h"

#include <algorithm>
#include <cstdio>

void BenchTable::add(const QString &name, const QString &figures, const QString &target, bool met)
{
    rows_.push_back({name, figures, target, met ? QStringLiteral("yes") : QStringLiteral("no")});
}

void BenchTable::fail(const QString &name, const QString &why, const QString &target)
{
    rows_.push_back({name, QStringLiteral("FAILED: ") + why, target, QStringLiteral("no")});
}

void BenchTable::print(const QString &header) const
{
    const Row titles{QStringLiteral("benchmark"), QStringLiteral("figures"), QStringLiteral("target"),
                     QStringLiteral("met")};
    qsizetype w[4] = {titles.name.size(), titles.figures.size(), titles.target.size(), titles.met.size()};
    for (const Row &r : rows_) {
        w[0] = std::max(w[0], r.name.size());
        w[1] = std::max(w[1], r.figures.size());
        w[2] = std::max(w[2], r.target.size());
    }
    auto line = [&](const Row &r) {
        const QString text = r.name.leftJustified(w[0]) + QStringLiteral(" | ") + r.figures.leftJustified(w[1])
            + QStringLiteral(" | ") + r.target.leftJustified(w[2]) + QStringLiteral(" | ") + r.met;
        std::printf("%s\n", text.toUtf8().constData());
    };
    std::printf("%s\n", header.toUtf8().constData());
    line(titles);
    std::printf("%s\n", QString(w[0] + w[1] + w[2] + w[3] + 9, QLatin1Char('-')).toUtf8().constData());
    for (const Row &r : rows_)
        line(r);
    for (const QString &n : notes_)
        std::printf("note: %s\n", n.toUtf8().constData());
    std::fflush(stdout);
}

void BenchTable::printRows() const
{
    for (const Row &r : rows_) {
        const QString text = QStringList{QStringLiteral("ROW"), r.name, r.figures, r.target, r.met}.join(QLatin1Char('\t'));
        std::printf("%s\n", text.toUtf8().constData());
    }
    for (const QString &n : notes_)
        std::printf("NOTE\t%s\n", n.toUtf8().constData());
    std::fflush(stdout);
}

bool BenchTable::addRow(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() == 2 && fields[0] == QStringLiteral("NOTE")) {
        notes_ << fields[1];
        return true;
    }
    if (fields.size() != 5 || fields[0] != QStringLiteral("ROW"))
        return false;
    rows_.push_back({fields[1], fields[2], fields[3], fields[4]});
    return true;
}

void BenchTable::detail(const QString &label, const Samples &samples) const
{
    if (verbose_)
        std::fprintf(stderr, "  %s: %s\n", label.toUtf8().constData(), samples.list().toUtf8().constData());
}
