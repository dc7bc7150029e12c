#include "frapithread.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QHash>

#include <memory>

#include "frapi.h"
#include "frlink.h"

namespace {
QAtomicInt liveThreads;
// Slack on top of the time-outs: opening the port, the byte gaps of three replies.
constexpr qint64 ExchangeSlackMs = 1000;

// A serial port is opened exclusively: while the worker of a closed port is still finishing, the
// worker of the same port opened again would fail to open it (and the two would flush each
// other's buffers). Each worker holds its port's gate for its whole life; a successor waits.
std::mutex &portGate(const QString &portName)
{
    static std::mutex guard;
    static QHash<QString, std::shared_ptr<std::mutex>> gates;
    const QString canonical = QFileInfo(portName).canonicalFilePath();
    const QString key = canonical.isEmpty() ? portName : canonical;
    std::lock_guard<std::mutex> lock(guard);
    std::shared_ptr<std::mutex> &gate = gates[key];
    if (!gate)
        gate = std::make_shared<std::mutex>();
    return *gate;
}
} // namespace

FrApiThread::FrApiThread(const QString &portName, std::shared_ptr<PortLock> lock)
    : QThread(nullptr), portName_(portName), network_(FrAddress::parse(portName).isNetwork()),
      connectTimeoutMs_(FrLink::DefaultConnectTimeoutMs), lock_(std::move(lock))
{
    liveThreads.ref();
    registerFsMetaTypes();
    // Requests emitted before the worker's loop is ready are held, not lost.
    connect(this, &FrApiThread::sedReq, this, &FrApiThread::passRequest, Qt::DirectConnection);
    // finished() is emitted by the ending thread itself; the deferred delete runs in the owner's
    // loop and the destructor waits out the last steps of the thread, so the object never dies
    // under a thread that still runs.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

FrApiThread::~FrApiThread()
{
    wait();
    // wait() already orders the thread's last steps before this, through a wait condition inside
    // Qt that ThreadSanitizer cannot see. Taking the lock the thread used for these members shows
    // it that order before they are destroyed.
    std::lock_guard<std::mutex> lock(mutex_);
    liveThreads.deref();
}

int FrApiThread::instances()
{
    return liveThreads.loadAcquire();
}

qint64 FrApiThread::exchangeBudgetMs(quint32 readTimeout, quint32 writeTimeout)
{
    // First read, read after the repeat request, read after the resend.
    return qint64(writeTimeout) + 3 * qint64(readTimeout) + ExchangeSlackMs;
}

qint64 FrApiThread::pendingBudgetMs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A worker still connecting to a network address finishes that first.
    qint64 sum = network_ && !api_ && isRunning() ? connectTimeoutMs_ : 0;
    for (qint64 b : budgets_)
        sum += b;
    return sum;
}

void FrApiThread::post(FsApi *api, const Held &request)
{
    QMetaObject::invokeMethod(
        api, [api, request]() { api->exec(request.req, request.readTimeout, request.writeTimeout); },
        Qt::QueuedConnection);
}

void FrApiThread::passRequest(const FsReq &req, quint32 readTimeout, quint32 writeTimeout)
{
    // A network link may have to connect again first.
    const qint64 budget = exchangeBudgetMs(readTimeout, writeTimeout) + (network_ ? connectTimeoutMs_ : 0);
    std::lock_guard<std::mutex> lock(mutex_);
    budgets_.append(budget);
    const Held request{req, readTimeout, writeTimeout};
    if (api_)
        post(api_, request);
    else
        held_.append(request);
}

void FrApiThread::run()
{
    registerFsMetaTypes();
    std::lock_guard<std::mutex> portLock(portGate(portName_));
    auto *api = new FsApi(portName_);
    api->setPortLock(lock_);
    api->setConnectTimeout(connectTimeoutMs_);

    connect(api, qOverload<bool, QString>(&FsApi::showLog), this, qOverload<bool, QString>(&FrApiThread::showLog),
            Qt::QueuedConnection);
    connect(api, qOverload<QString>(&FsApi::showLog), this, qOverload<QString>(&FrApiThread::showLog),
            Qt::QueuedConnection);
    connect(api, &FsApi::showSummary, this, &FrApiThread::showSummary, Qt::QueuedConnection);
    connect(api, &FsApi::executed, this, &FrApiThread::executed, Qt::QueuedConnection);
    connect(api, &FsApi::exchangeStarted, this, &FrApiThread::exchangeStarted, Qt::QueuedConnection);
    connect(api, &FsApi::exchangeFinished, this, &FrApiThread::exchangeFinished, Qt::QueuedConnection);
    connect(
        api, &FsApi::executed, this,
        [this]() {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!budgets_.isEmpty())
                budgets_.removeFirst();
        },
        Qt::DirectConnection);

    // After the connections: a network link says in the log pane whether it connected. Told from
    // this object's own thread, as every signal of it is.
    const bool ok = api->open();
    QMetaObject::invokeMethod(
        this, [this, ok, failure = api->openFailure()]() { emit opened(ok, failure); }, Qt::QueuedConnection);

    {
        std::lock_guard<std::mutex> lock(mutex_);
        api_ = api;
        for (const Held &request : qAsConst(held_))
            post(api, request);
        held_.clear();
    }

    exec();

    {
        std::lock_guard<std::mutex> lock(mutex_);
        api_ = nullptr;
    }
    api->close();
    api->blockSignals(true);
    delete api;
    // The port is closed: another program may have it now (unless another worker of this process
    // on the same port still shares the lock). Under the mutex the destructor takes after wait().
    std::lock_guard<std::mutex> lock(mutex_);
    lock_.reset();
}
