#pragma once
// CPU time of another process, for benchmarks that compare programs running side by side.

#include <QDir>
#include <QFile>
#include <QString>
#include <optional>

namespace orvel::bench {

// CPU seconds the process has run so far, summed over its threads (nanosecond accounting of
// the scheduler, finer than the clock ticks of /proc/PID/stat); nothing once it has gone.
inline std::optional<double> cpuSeconds(qint64 pid) {
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    if (!tasks.exists()) {
        return std::nullopt;
    }
    double total = 0;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task) + QStringLiteral("/schedstat"));
        if (schedstat.open(QIODevice::ReadOnly)) {
            total += QString::fromLatin1(schedstat.readAll())
                         .section(QLatin1Char(' '), 0, 0)
                         .toDouble() /
                     1e9;
        }
    }
    return total;
}

}  // namespace orvel::bench
