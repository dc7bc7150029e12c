#include "frwrapper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>

#include "frapithread.h"
#include "frlink.h"
#include "frpayload.h"
#include "hexdump.h"
#include "portlock.h"

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

FsWrapper::FsWrapper(QObject *parent) : QObject(parent), connectTimeoutMs_(FrLink::DefaultConnectTimeoutMs)
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

void FsWrapper::startWorker(std::shared_ptr<PortLock> lock)
{
    if (worker_)
        close(); // its thread has ended by itself; it only waits for its deferred delete
    auto *t = new FrApiThread(portName_, std::move(lock));
    t->setConnectTimeout(connectTimeoutMs_);
    portState_ = PortState::Opening;
    portFailure_.clear();
    connect(t, &FrApiThread::opened, this, [this, t](bool ok, const QString &failure) {
        if (t != worker_)
            return;
        portState_ = ok ? PortState::Opened : PortState::Failed;
        portFailure_ = failure;
        emit portOpened(ok, failure);
    });
    connect(t, qOverload<bool, QString>(&FrApiThread::showLog), this, qOverload<bool, QString>(&FsWrapper::showLog));
    connect(t, qOverload<QString>(&FrApiThread::showLog), this, qOverload<QString>(&FsWrapper::showLog));
    connect(t, &FrApiThread::showSummary, this, &FsWrapper::showSummary);
    connect(t, &FrApiThread::exchangeStarted, this, &FsWrapper::exchangeStarted);
    connect(t, &FrApiThread::exchangeFinished, this, &FsWrapper::exchangeFinished);
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
    const FrAddress address = FrAddress::parse(portName);
    std::shared_ptr<PortLock> lock;
    if (address.kind == FrAddress::Invalid)
        openError_ = address.error;
    else if (address.kind == FrAddress::Serial)
        lock = PortLock::acquire(portName, &openError_);
    if (address.kind == FrAddress::Invalid || (address.kind == FrAddress::Serial && !lock)) {
        qWarning().noquote() << openError_;
        emit showLog(openError_);
        return false;
    }
    openError_.clear();
    portName_ = address.name;
    factoryNumber_.clear();
    startWorker(std::move(lock));
    return workerAlive();
}

bool FsWrapper::waitUntilOpened(QString *failure)
{
    if (!workerAlive()) {
        *failure = QStringLiteral("порт не открыт");
        return false;
    }
    if (portState_ == PortState::Opening) {
        QEventLoop loop;
        connect(this, &FsWrapper::portOpened, &loop, &QEventLoop::quit);
        connect(worker_.data(), &QThread::finished, &loop, &QEventLoop::quit);
        // Once the application quits, exec() returns at once: the wait ends with it.
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (portState_ == PortState::Opened)
        return true;
    *failure = portState_ == PortState::Failed ? portFailure_ : QStringLiteral("работа остановлена");
    return false;
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

void FsWrapper::stop()
{
    stopping_ = true;
}

qint64 FsWrapper::pendingBudgetMs() const
{
    qint64 sum = 0;
    for (const QPointer<FrApiThread> &t : qAsConst(retired_)) {
        if (t)
            sum += t->pendingBudgetMs();
    }
    return worker_ ? sum + worker_->pendingBudgetMs() : sum;
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

QString FsWrapper::refusal(const FsReq &req) const
{
    QString why;
    if (operation_.waiting > 0 || operation_.yielding > 0)
        why = QStringLiteral("ККТ занята другой операцией");
    else if (stopping_ &&
             !(operation_.cancelling && (req.code() == frcmd::CancelDoc || req.code() == frcmd::GetFrStatus)))
        why = QStringLiteral("работа остановлена");
    else if (!workerAlive())
        why = QStringLiteral("порт не открыт");
    else
        return QString();
    return QStringLiteral("Команда 0x%1 не отправлена: %2").arg(req.code(), 2, 16, QLatin1Char('0')).arg(why);
}

void FsWrapper::noteDocument(quint8 command, CoreApiConst::ErrorCode result)
{
    using namespace frcmd;
    FsDocument &doc = operation_.document;
    switch (command) {
    case StartRegistration:
    case StartArchiveClosing:
    case StartCycleOpening:
    case StartCycleClosing:
    case StartReceipt:
    case StartIntroduction:
    case StartPayout:
        if (result == CoreApiConst::Success)
            doc = FsDocument::Open;
        else if (result >= CoreApiConst::ParseError && doc == FsDocument::None)
            doc = FsDocument::Unknown;
        break;
    case CompleteRegistration:
    case CompleteArchiveClosing:
    case CompleteCycleOpening:
    case CompleteCycleClosing:
    case CompleteReceipt:
    case CompleteIntroduction:
    case CompletePayout:
        if (result == CoreApiConst::Success)
            doc = FsDocument::None;
        else if (result >= CoreApiConst::ParseError && doc == FsDocument::Open)
            doc = FsDocument::Unknown; // the completion may have gone through, its answer lost
        break;
    case CancelDoc:
        if (result == CoreApiConst::Success)
            doc = FsDocument::None;
        break;
    default:
        break;
    }
}

void FsWrapper::beginOperation()
{
    operation_.active = true;
    operation_.document = FsDocument::None;
    emit operationStarted();
}

void FsWrapper::endOperation()
{
    operation_.active = false;
    operation_.document = FsDocument::None;
    emit operationFinished();
}

CoreApiConst::ErrorCode FsWrapper::exec(const FsReq &req, FsRep &rep, const FsRwTimeout &timeout)
{
    FsRep received;
    received.setCode(CoreApiConst::NoAnswer);
    linkError_.clear();
    lastRefusal_ = refusal(req);
    if (!lastRefusal_.isEmpty()) {
        qWarning().noquote() << lastRefusal_;
        emit showLog(lastRefusal_);
        rep = received;
        return CoreApiConst::NoAnswer;
    }
    // A request made outside any operation is an operation of its own.
    const FsOperation own(*this, FsOperation::Join);

    QEventLoop loop;
    Waiter waiter{nullptr, &received, &loop, false};
    // Registered before the request leaves, so that no reply can be missed.
    waiters_.append(&waiter);
    const QPointer<FsWrapper> self(this);

    const quint32 readTimeout =
        readTimeoutLimit_ != 0 ? qMin(timeout.readTimeout, readTimeoutLimit_) : timeout.readTimeout;
    // The request leaves from inside the loop. Once the application quits, every local loop
    // returns at once without running, so a command asked for while the program closes never
    // reaches the register (the posted call dies with the loop). The waiter is bound to the worker
    // that sends it, whichever that is by then; with none (the port closed meanwhile) nothing leaves.
    bool sent = false;
    QMetaObject::invokeMethod(
        &loop,
        [self, &sent, &waiter, &loop, req, readTimeout, timeout]() {
            if (!self || !self->workerAlive()) {
                waiter.done = true;
                loop.quit();
                return;
            }
            waiter.worker = self->worker_.data();
            sent = true;
            emit self->sedReq(req, readTimeout, timeout.writeTimeout);
        },
        Qt::QueuedConnection);
    ++operation_.waiting;
    if (!waiter.done)
        loop.exec();
    if (self)
        --operation_.waiting;

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
    if (self && !sent)
        waiters_.removeAll(&waiter);

    rep = received;
    if (!self)
        return CoreApiConst::NoAnswer;

    CoreApiConst::ErrorCode result = CoreApiConst::ErrorCode(rep.code());
    linkError_ = rep.linkError();
    lastRefusal_.clear(); // what a request refused meanwhile left here is not this one's
    if (!sent) {
        lastRefusal_ = refusal(req);
        if (lastRefusal_.isEmpty())
            lastRefusal_ = errorText(CoreApiConst::NoAnswer);
        emit showLog(lastRefusal_);
        result = CoreApiConst::NoAnswer;
    } else {
        if (rep.code() != CoreApiConst::Success)
            emit showLog(rep.errorText().trimmed());
        if (rep.parsingResult() != fs::Ok) {
            // Silence and an answer that cannot be read are different failures: after silence
            // the request may never have arrived; after garbage something is there on the line.
            result = rep.bytesReceived() == 0 ? CoreApiConst::NoAnswer : CoreApiConst::ParseError;
            // A damaged frame may still carry code 0; without this line the log pane would give
            // the operator no reason for the failure the tab reports.
            if (rep.code() == CoreApiConst::Success)
                emit showLog(errorText(CoreApiConst::ParseError));
            qWarning().noquote() << "FS REP PARSING ERROR " << HexDump(req.rawData(), QStringLiteral("UTF-8"))
                                 << int(rep.code()) << int(rep.parsingResult())
                                 << HexDump(rep.rawData(), QStringLiteral("UTF-8"));
        }
    }
    if (sent)
        noteDocument(req.code(), result);
    return result;
}

// ---------------------------------------------------------------------------------------------

FsOperation::FsOperation(FsWrapper &fr, Mode mode) : fr_(&fr)
{
    const FsWrapper::Operation &op = fr.operation_;
    if (op.waiting > 0 || op.yielding > 0) {
        qWarning() << "Operation refused: another one is waiting for the register";
        return;
    }
    if (op.active) {
        if (mode == Join)
            joined_ = true;
        else
            qWarning() << "Operation refused: another one is running";
        return;
    }
    taken_ = true;
    fr.beginOperation();
}

FsOperation::~FsOperation()
{
    if (taken_ && fr_)
        fr_->endOperation();
}

bool FsOperation::isTaken() const
{
    return taken_ || joined_;
}

void FsOperation::processEvents()
{
    if (!fr_)
        return;
    ++fr_->operation_.yielding;
    const QPointer<FsWrapper> fr = fr_;
    QCoreApplication::processEvents();
    if (fr)
        --fr->operation_.yielding;
}

FsDocument FsOperation::document() const
{
    return isTaken() && fr_ ? fr_->operation_.document : FsDocument::None;
}

CoreApiConst::ErrorCode FsOperation::cancelDocument()
{
    if (document() == FsDocument::None)
        return CoreApiConst::Success;
    fr_->operation_.cancelling = true;
    CoreApiConst::ErrorCode rc = CoreApiConst::Success;
    if (document() == FsDocument::Unknown) {
        // A step without a readable answer may have been done all the same: a completion that
        // closed the document, a start that never opened one. The cancel's own answer cannot tell,
        // since the register answers it with success when nothing is open; its status can.
        FrStatus st;
        if (fr_->getFrStatus(st) == CoreApiConst::Success && st.openDocType == 0) {
            if (fr_) {
                fr_->operation_.document = FsDocument::None;
                fr_->operation_.cancelling = false;
            }
            return CoreApiConst::DocMustBeOpen;
        }
    }
    if (fr_)
        rc = fr_->cancelDoc();
    if (fr_)
        fr_->operation_.cancelling = false;
    return rc;
}
