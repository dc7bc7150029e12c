#pragma once

#include <QString>

// One register per state file and per link: an exclusive lock on PATH.lock, held for as long as
// the object lives. The lock file is never removed: removing it would let a third instance lock a
// new file while a second still holds the old one.
class InstanceLock
{
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    static QString lockPath(const QString &path);

    // False when another process holds it (*error names that process when it can) or the lock
    // file cannot be made.
    bool acquire(const QString &path, QString *error);

private:
    int fd_ = -1;
};
