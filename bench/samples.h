#pragma once

#include <QString>

#include <vector>

// Timings of one variant, in milliseconds, in the order they were taken.
class Samples {
public:
    void add(double ms) { values_.push_back(ms); }
    int count() const { return int(values_.size()); }
    double median() const;
    double worst() const;
    // Every value in order taken, for a look at the spread.
    QString list() const;
    // "median … ms, worst … ms of N", and how many attempts failed.
    QString summary(int failures) const;

private:
    std::vector<double> values_;
};
