#include "keyring/QtSecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <qt6keychain/keychain.h>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace vorn {

namespace {

const QString kService = QStringLiteral("vornbackup");

// Runs the job to its end, or until the keyring kept quiet for `timeout`.
Status Finish(QKeychain::Job& job, std::chrono::milliseconds timeout)
{
    if (QCoreApplication::instance() == nullptr)
        return MakeError(ErrorKind::Failed, "The keyring cannot be reached: the program has no event loop");
    job.setAutoDelete(false);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    job.start();
    if (!finished)
        loop.exec();
    if (!finished)
        return MakeError(ErrorKind::TimedOut, "The keyring cannot be reached: it did not answer in time");
    if (job.error() == QKeychain::NoError || job.error() == QKeychain::EntryNotFound)
        return Ok();
    return MakeError(ErrorKind::Failed, "The keyring cannot be reached: " + job.errorString().toStdString());
}

} // namespace

QtSecretStore::QtSecretStore(std::chrono::milliseconds timeout)
    : timeout_(timeout)
    , thread_(std::make_unique<QThread>())
    , context_(new QObject)
{
    context_->moveToThread(thread_.get());
#ifndef _WIN32
    // The thread takes no signal: the headless command waits for SIGINT and SIGTERM on a
    // thread of its own, and a signal handed to this one would end the program instead.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_->start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#else
    thread_->start();
#endif
}

QtSecretStore::~QtSecretStore()
{
    QObject* context = context_;
    QMetaObject::invokeMethod(
        context, [context] { delete context; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

Result<std::string> QtSecretStore::Read(const std::string& key)
{
    Result<std::string> result = MakeError(ErrorKind::Failed, "The keyring cannot be reached");
    QMetaObject::invokeMethod(
        context_,
        [&] {
            QKeychain::ReadPasswordJob job(kService);
            job.setKey(QString::fromStdString(key));
            if (Status done = Finish(job, timeout_); !done)
                result = done.error();
            else if (job.error() == QKeychain::EntryNotFound)
                result = MakeError(ErrorKind::Invalid, "The keyring holds no password for " + key);
            else
                result = job.textData().toStdString();
        },
        Qt::BlockingQueuedConnection);
    return result;
}

Status QtSecretStore::Write(const std::string& key, const std::string& secret)
{
    Status result;
    QMetaObject::invokeMethod(
        context_,
        [&] {
            QKeychain::WritePasswordJob job(kService);
            job.setKey(QString::fromStdString(key));
            job.setTextData(QString::fromStdString(secret));
            result = Finish(job, timeout_);
        },
        Qt::BlockingQueuedConnection);
    return result;
}

Status QtSecretStore::Remove(const std::string& key)
{
    Status result;
    QMetaObject::invokeMethod(
        context_,
        [&] {
            QKeychain::DeletePasswordJob job(kService);
            job.setKey(QString::fromStdString(key));
            result = Finish(job, timeout_);
        },
        Qt::BlockingQueuedConnection);
    return result;
}

} // namespace vorn
