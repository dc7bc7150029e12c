#pragma once

#include <QList>
#include <QString>
#include <QThread>

#include "frmsg.h"

#include <memory>
#include <mutex>

class FsApi;
class PortLock;

// The worker thread of one port: creates the transport inside itself and relays its signals.
// The object belongs to the thread that created it and deletes itself once its thread has ended.
class FrApiThread : public QThread
{
    Q_OBJECT
public:
    // `lock`, when given, keeps the port ours from the worker's first exchange to its last; the
    // worker lets it go once its port is closed.
    explicit FrApiThread(const QString &portName, std::shared_ptr<PortLock> lock = nullptr);
    ~FrApiThread() override;

    QString portName() const { return portName_; }
    // For a network name: how long each connect may take. Set before start().
    void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }

    // Upper bound, in ms, of the exchanges accepted but not yet answered (their time-outs with
    // the repeat request and the resend, and a connect still in progress); what a shutdown should
    // be prepared to wait for.
    qint64 pendingBudgetMs() const;
    // Time an exchange with these time-outs may take at the most.
    static qint64 exchangeBudgetMs(quint32 readTimeout, quint32 writeTimeout);

    // Number of FrApiThread objects alive in the process.
    static int instances();

signals:
    void showLog(bool out, QString txt);
    void showLog(QString txt);
    void executed(FsRep rep);
    void sedReq(FsReq req, quint32 readTimeout, quint32 writeTimeout);
    void exchangeStarted();
    void exchangeFinished();
    void showSummary(bool out, QString text);
    // The worker opened its port (connected, for a network name) when it started, or could not:
    // `failure` says why in words for the log pane (empty when only the message log has it).
    void opened(bool ok, QString failure);

protected:
    void run() override;

private:
    struct Held
    {
        FsReq req;
        quint32 readTimeout;
        quint32 writeTimeout;
    };

    // Runs in the thread that emitted sedReq.
    void passRequest(const FsReq &req, quint32 readTimeout, quint32 writeTimeout);
    static void post(FsApi *api, const Held &request);

    const QString portName_;
    const bool network_;
    int connectTimeoutMs_;
    std::shared_ptr<PortLock> lock_;
    mutable std::mutex mutex_;
    // Set while the worker's loop accepts requests; before that they are held, in order.
    FsApi *api_ = nullptr;
    QList<Held> held_;
    QList<qint64> budgets_;
};
