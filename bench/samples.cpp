#include "samples.h"

#include <QStringList>

#include <algorithm>

double Samples::median() const
{
    if (values_.empty())
        return 0.0;
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t mid = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0;
}

double Samples::worst() const
{
    return values_.empty() ? 0.0 : *std::max_element(values_.begin(), values_.end());
}

QString Samples::list() const
{
    QStringList parts;
    for (double v : values_)
        parts << QString::number(v, 'f', 1);
    return parts.join(QLatin1Char(' '));
}

QString Samples::summary(int failures) const
{
    QString text = count() == 0 ? QStringLiteral("nothing completed")
                                : QStringLiteral("median %1 ms, worst %2 ms of %3")
                                      .arg(median(), 0, 'f', 1)
                                      .arg(worst(), 0, 'f', 1)
                                      .arg(count());
    if (failures > 0)
        text += QStringLiteral("; %1 FAILED").arg(failures);
    return text;
}
