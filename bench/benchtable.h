#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The rows every benchmark adds, printed once at the end so the figures are
// not interleaved with build or tool output.
class Samples;

class BenchTable {
public:
    explicit BenchTable(bool verbose = false) : verbose_(verbose) {}

    void add(const QString &name, const QString &figures, const QString &target, bool met);
    // A benchmark that could not measure still gets a row, marked not met.
    void fail(const QString &name, const QString &why, const QString &target);
    void note(const QString &text) { notes_ << text; }
    // With -v, every sample goes to stderr at once, for a look at the spread.
    void detail(const QString &label, const Samples &samples) const;
    void print(const QString &header) const;
    // Rows as tab-separated lines starting "ROW", for a table made in
    // another process (the test VM), and one such line taken back in.
    void printRows() const;
    bool addRow(const QString &line);

private:
    struct Row {
        QString name, figures, target, met;
    };
    bool verbose_;
    std::vector<Row> rows_;
    QStringList notes_;
};
