#include "emulatorfixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>

EmulatorFixture::EmulatorFixture() : EmulatorFixture(Options())
{}

EmulatorFixture::EmulatorFixture(const Options &options) : options_(options), server_(new EmuServer)
{}

EmulatorFixture::~EmulatorFixture()
{
    stop();
}

bool EmulatorFixture::start()
{
    error_.clear();
    if (!FiscalModel::isPreset(options_.preset)) {
        error_ = QStringLiteral("unknown preset %1").arg(options_.preset);
        return false;
    }
    server_->stop();
    server_->model().applyPreset(options_.preset);
    server_->loader().setInstallSeconds(options_.installSeconds);
    server_->loader().setImagesDir(options_.imagesDir);
    EmuServer::Config config;
    config.loader = options_.loader;
    config.listen = options_.listen;
    return server_->start(config, &error_);
}

void EmulatorFixture::stop()
{
    server_->stop();
}

bool EmulatorFixture::isRunning() const
{
    return server_->isRunning();
}

QString EmulatorFixture::devicePath() const
{
    return server_->devicePath();
}

QString EmulatorFixture::loaderPath() const
{
    return server_->loaderPath();
}

QString EmulatorFixture::networkName() const
{
    return server_->networkName();
}

void EmulatorFixture::addFault(const EmuFault &fault)
{
    server_->device().addFault(fault);
}

void EmulatorFixture::addFault(EmuFault::Kind kind, int nth, int value)
{
    server_->device().addFault(EmuFault(kind, nth, value));
}

bool EmulatorFixture::addFault(const QString &text)
{
    EmuFault fault;
    if (!EmuFault::parse(text, &fault, &error_))
        return false;
    addFault(fault);
    return true;
}

void EmulatorFixture::clearFaults()
{
    server_->device().clearFaults();
}

int EmulatorFixture::executionCount() const
{
    return server_->device().executionCount();
}

int EmulatorFixture::executionCount(quint32 unique) const
{
    return server_->device().executionCount(unique);
}

int EmulatorFixture::executionsOf(quint8 command) const
{
    return server_->device().executionsOf(command);
}

int EmulatorFixture::repeatRequests() const
{
    return server_->device().repeatRequests();
}

QVector<EmuRequestRecord> EmulatorFixture::requests() const
{
    return server_->device().requests();
}

EmuRequestRecord EmulatorFixture::lastRequest() const
{
    const QVector<EmuRequestRecord> all = requests();
    return all.isEmpty() ? EmuRequestRecord() : all.last();
}

QByteArray EmulatorFixture::lastReply() const
{
    return server_->device().lastReply();
}

void EmulatorFixture::clearHistory()
{
    server_->device().clearHistory();
}

QStringList EmulatorFixture::takePrinted()
{
    return withModel([](FiscalModel &m) { return m.takePrinted(); });
}

FiscalModel &EmulatorFixture::model()
{
    return server_->model();
}

EmuDevice &EmulatorFixture::device()
{
    return server_->device();
}

LoaderModel &EmulatorFixture::loader()
{
    return server_->loader();
}

EmuServer &EmulatorFixture::server()
{
    return *server_;
}

EmulatorProcess::EmulatorProcess()
{
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { collect(); });
}

EmulatorProcess::~EmulatorProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        terminate(3000);
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
}

QString EmulatorProcess::program()
{
#ifdef VIRTA_EMULATOR_EXE
    return QStringLiteral(VIRTA_EMULATOR_EXE);
#else
    return QStringLiteral("virta-emulator");
#endif
}

void EmulatorProcess::collect()
{
    out_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
    static const QRegularExpression registerLine(QStringLiteral("^register: (\\S+)$"),
                                                 QRegularExpression::MultilineOption);
    static const QRegularExpression loaderLine(QStringLiteral("^loader: (\\S+)$"), QRegularExpression::MultilineOption);
    static const QRegularExpression networkLine(QStringLiteral("^network: (\\S+)$"),
                                                QRegularExpression::MultilineOption);
    const QRegularExpressionMatch r = registerLine.match(out_);
    if (r.hasMatch())
        devicePath_ = r.captured(1);
    const QRegularExpressionMatch n = networkLine.match(out_);
    if (n.hasMatch())
        networkName_ = n.captured(1);
    const QRegularExpressionMatch l = loaderLine.match(out_);
    if (l.hasMatch())
        loaderPath_ = l.captured(1);
}

bool EmulatorProcess::start(const QStringList &arguments, int timeoutMs)
{
    out_.clear();
    err_.clear();
    devicePath_.clear();
    loaderPath_.clear();
    networkName_.clear();
    process_.start(program(), arguments);
    if (!process_.waitForStarted(timeoutMs))
        return false;
    QElapsedTimer timer;
    timer.start();
    while ((devicePath_.isEmpty() && networkName_.isEmpty()) || loaderPath_.isEmpty()) {
        if (process_.state() == QProcess::NotRunning || timer.hasExpired(timeoutMs))
            return false;
        process_.waitForReadyRead(50);
        collect();
    }
    return true;
}

bool EmulatorProcess::terminate(int timeoutMs)
{
    if (process_.state() == QProcess::NotRunning)
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    process_.terminate(); // SIGTERM
    if (!process_.waitForFinished(timeoutMs))
        return false;
    collect();
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

QString EmulatorProcess::standardError()
{
    err_ += QString::fromLocal8Bit(process_.readAllStandardError());
    return err_;
}
