#include "logsettings.h"

#include <QDateTime>

#include <atomic>
#include <cstdio>
#include <limits>

namespace logging {

Settings &settings()
{
    static Settings *s = new Settings;
    return *s;
}

namespace {

std::atomic<qint64> g_todayForTests{std::numeric_limits<qint64>::min()};

thread_local bool t_holdsLock = false;
thread_local bool t_writingStdErr = false;

} // namespace

// Qt's conversion to local time looks the time zone up again each time (a stat of the zone file),
// which cost more than writing the entry; the zone can only take effect on a whole second, so the
// conversion is done once per second.
LocalNow localNow()
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    thread_local qint64 cachedSecond = std::numeric_limits<qint64>::min();
    thread_local LocalNow cached;
    if (second != cachedSecond) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(second);
        cached = {local.date(), local.time()};
        cachedSecond = second;
    }
    const QTime t = cached.time;
    return {cached.date, QTime(t.hour(), t.minute(), t.second(), int(ms - second * 1000))};
}

QDate today()
{
    const qint64 jd = g_todayForTests.load();
    return jd == std::numeric_limits<qint64>::min() ? localNow().date : QDate::fromJulianDay(jd);
}

void setToday(const QDate &date)
{
    g_todayForTests.store(date.isValid() ? date.toJulianDay() : std::numeric_limits<qint64>::min());
}

bool holdsLock()
{
    return t_holdsLock;
}

Locker::Locker() : owns_(!t_holdsLock)
{
    if (owns_) {
        settings().mutex.lock();
        t_holdsLock = true;
    }
}

void Locker::unlock()
{
    if (owns_) {
        t_holdsLock = false;
        settings().mutex.unlock();
        owns_ = false;
    }
}

// Last resort for messages that cannot go through a writer. UTF-8 on purpose: converting through
// the local code page could itself raise the message we are trying to get rid of.
void writeStdErr(const QString &message)
{
    if (t_writingStdErr)
        return;
    t_writingStdErr = true;
    const QByteArray bytes = message.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
    t_writingStdErr = false;
}

} // namespace logging
