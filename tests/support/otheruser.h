#pragma once

// Another local user of the machine, to own what a test plants in a shared folder as a second
// user would leave it there. Only root can hand a file to another user: elsewhere valid() is
// false and the rows that need one are skipped. The user is "nobody"; where it is missing, a
// system user of the tests' own is made with useradd.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

#include <pwd.h>
#include <unistd.h>

class OtherUser
{
public:
    static const OtherUser &get()
    {
        static const OtherUser user = find();
        return user;
    }
    bool valid() const { return valid_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    // Hands the file, folder or link to the other user and the other user's group.
    bool own(const QString &path) const
    {
        return valid_ && ::lchown(QFile::encodeName(path).constData(), uid_, gid_) == 0;
    }

private:
    static OtherUser find()
    {
        OtherUser user;
        if (::geteuid() != 0)
            return user;
        const passwd *pw = ::getpwnam("nobody");
        if (!pw) {
            QProcess::execute(QStringLiteral("useradd"),
                              {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                               QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"),
                               QStringLiteral("virta-test")});
            pw = ::getpwnam("virta-test");
        }
        if (pw && pw->pw_uid != 0 && pw->pw_gid != 0) {
            user.uid_ = pw->pw_uid;
            user.gid_ = pw->pw_gid;
            user.valid_ = true;
        }
        return user;
    }
    bool valid_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};
