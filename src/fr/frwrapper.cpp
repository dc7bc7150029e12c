#include "frwrapper.h"

#include <QDebug>
#include <QEventLoop>

#include "frapithread.h"
#include "loggermanager.h"

namespace {
// What a shutdown waits for a worker with nothing in flight: its loop ending and the port closing.
constexpr qint64 IdleShutdownMs = 2000;
} // namespace

struct FsWrapper::Waiter
{
    FrApiThread *worker;
    FsRep *rep;
    QEventLoop *loop;
    bool done;
};

FsWrapper::FsWrapper(QObject *parent) : QObject(parent)
{}

FsWrapper::~FsWrapper()
{
    // Only reachable with a caller still waiting if this object is deleted from inside that
    // caller's loop; let it go with "no answer" rather than wait on a loop that is never quit.
    for (Waiter *w : qAsConst(waiters_)) {
        if (!w->loop) {
            delete w;
            continue;
        }
        w->done = true;
        w->loop->quit();
    }
    waiters_.clear();

    // Oldest first: a worker of a port opened again waits for its predecessor on that port.
    QList<FrApiThread *> threads;
    for (const QPointer<FrApiThread> &t : qAsConst(retired_)) {
        if (t)
            threads.append(t.data());
    }
    if (worker_)
        threads.append(worker_.data());
    worker_ = nullptr;
    retired_.clear();

    for (FrApiThread *t : qAsConst(threads)) {
        disconnect(t, nullptr, this, nullptr);
        t->quit();
    }
    // Cutting a thread off while it writes to the port leaves the register with half a frame and
    // the port in an unknown state: give the exchange in flight the time its time-outs allow.
    for (FrApiThread *t : qAsConst(threads)) {
        const qint64 bound = IdleShutdownMs + t->pendingBudgetMs();
        if (!t->wait(quint64(bound))) {
            qWarning().noquote() << "Worker of port" << t->portName() << "did not finish within" << bound
                                 << "ms; terminating it";
            t->terminate();
            t->wait();
        }
        delete t;
    }
}

bool FsWrapper::workerAlive() const
{
    return worker_ && !worker_->isFinished();
}

void FsWrapper::startWorker(bool forwardProgress)
{
    if (worker_)
        close(); // its thread has ended by itself; it only waits for its deferred delete
    auto *t = new FrApiThread(portName_);
    connect(t, qOverload<bool, QString>(&FrApiThread::showLog), this, qOverload<bool, QString>(&FsWrapper::showLog));
    connect(t, qOverload<QString>(&FrApiThread::showLog), this, qOverload<QString>(&FsWrapper::showLog));
    connect(t, &FrApiThread::showSummary, this, &FsWrapper::showSummary);
    if (forwardProgress) {
        connect(t, &FrApiThread::exchangeStarted, this, &FsWrapper::exchangeStarted);
        connect(t, &FrApiThread::exchangeFinished, this, &FsWrapper::exchangeFinished);
    }
    connect(this, &FsWrapper::sedReq, t, &FrApiThread::sedReq);
    // The thread object re-emits replies in this thread, so the handler runs here, in order.
    connect(
        t, &FrApiThread::executed, this, [this, t](const FsRep &rep) { deliver(t, rep); }, Qt::DirectConnection);
    // A worker that ends with callers still waiting (closed with requests queued behind the
    // exchange in flight) would leave them waiting for ever. Queued: it comes after the replies
    // that the worker emitted before it ended.
    connect(
        t, &QThread::finished, this, [this, t]() { abandon(t); }, Qt::QueuedConnection);
    worker_ = t;
    t->start(QThread::InheritPriority);
}

bool FsWrapper::open(const QString &portName)
{
    if (workerAlive())
        return true;
    portName_ = portName;
    factoryNumber_.clear();
    startWorker(true);
    return workerAlive();
}

void FsWrapper::close()
{
    factoryNumber_.clear();
    if (!worker_)
        return;
    // Requests sent from now on must not reach the old port as well as the next one.
    disconnect(this, &FsWrapper::sedReq, worker_.data(), &FrApiThread::sedReq);
    worker_->quit();
    retired_.removeAll(QPointer<FrApiThread>());
    retired_.append(worker_);
    worker_ = nullptr;
}

bool FsWrapper::isOpen() const
{
    return workerAlive();
}

void FsWrapper::deliver(FrApiThread *worker, const FsRep &rep)
{
    for (int i = 0; i < waiters_.size(); ++i) {
        Waiter *w = waiters_.at(i);
        if (w->worker != worker)
            continue;
        waiters_.removeAt(i);
        if (!w->loop) {
            delete w; // its caller left when the application quit
            return;
        }
        *w->rep = rep;
        w->done = true;
        w->loop->quit();
        return;
    }
    qWarning().noquote() << "Reply with nobody waiting for it, dropped:"
                         << HexDump(rep.rawData(), QStringLiteral("UTF-8"));
}

void FsWrapper::abandon(FrApiThread *worker)
{
    for (int i = 0; i < waiters_.size();) {
        Waiter *w = waiters_.at(i);
        if (w->worker != worker) {
            ++i;
            continue;
        }
        qWarning() << "Worker ended before answering a request";
        waiters_.removeAt(i);
        if (!w->loop) {
            delete w;
            continue;
        }
        w->done = true;
        w->loop->quit();
    }
}

CoreApiConst::ErrorCode FsWrapper::exec(const FsReq &req, FsRep &rep, const FsRwTimeout &timeout)
{
    if (!workerAlive())
        startWorker(false);

    QEventLoop loop;
    FsRep received;
    received.setCode(CoreApiConst::NoAnswer);
    Waiter waiter{worker_.data(), &received, &loop, false};
    // Registered before the request leaves, so that no reply can be missed.
    waiters_.append(&waiter);
    const QPointer<FsWrapper> self(this);

    const quint32 readTimeout =
        readTimeoutLimit_ != 0 ? qMin(timeout.readTimeout, readTimeoutLimit_) : timeout.readTimeout;
    // The request leaves from inside the loop. Once the application quits, every local loop
    // returns at once without running, so a command asked for while the program closes never
    // reaches the register (the posted call dies with the loop).
    bool sent = false;
    QMetaObject::invokeMethod(
        &loop,
        [this, &sent, req, readTimeout, timeout]() {
            sent = true;
            emit sedReq(req, readTimeout, timeout.writeTimeout);
        },
        Qt::QueuedConnection);
    if (!waiter.done)
        loop.exec();

    if (!waiter.done) {
        // Only the application quitting ends this loop without a reply. Waiting on would spin:
        // every further exec() of the loop returns at once until the outer loop has ended.
        if (self) {
            const int at = waiters_.indexOf(&waiter);
            if (at >= 0) {
                if (sent) {
                    // The reply still comes, in order; a stand-in takes it so that it is not
                    // handed to a later caller of the same worker.
                    waiters_[at] = new Waiter{waiter.worker, nullptr, nullptr, false};
                } else {
                    waiters_.removeAt(at);
                }
            }
        }
        qWarning() << "Exchange abandoned: the application is quitting; request sent:" << sent;
        rep = received;
        return CoreApiConst::NoAnswer;
    }

    rep = received;
    if (!self)
        return CoreApiConst::ParseError;

    if (rep.code() != CoreApiConst::Success)
        emit showLog(rep.errorText().trimmed());
    if (rep.parsingResult() != fs::Ok) {
        // A damaged frame may still carry code 0; without this line the log pane would give
        // the operator no reason for the failure the tab reports.
        if (rep.code() == CoreApiConst::Success)
            emit showLog(errorText(CoreApiConst::ParseError));
        qWarning().noquote() << "FS REP PARSING ERROR " << HexDump(req.rawData(), QStringLiteral("UTF-8"))
                             << int(rep.code()) << int(rep.parsingResult())
                             << HexDump(rep.rawData(), QStringLiteral("UTF-8"));
        return CoreApiConst::ParseError;
    }
    return CoreApiConst::ErrorCode(rep.code());
}
