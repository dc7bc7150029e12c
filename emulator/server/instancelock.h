#pragma once

#include <QString>

// One register per state file and per link: an exclusive lock on PATH.lock, held for as long as
// the object lives. The lock follows the file when PATH is the file's resolved path (no links, no
// ".."), which the caller gives for a state file. The lock file is made 0600 and never removed:
// removing it would let a third instance lock a new file while a second still holds the old one.
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
