#include "keyring/QtSecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

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
{
}

Result<std::string> QtSecretStore::Read(const std::string& key)
{
    QKeychain::ReadPasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    if (Status done = Finish(job, timeout_); !done)
        return done.error();
    if (job.error() == QKeychain::EntryNotFound)
        return MakeError(ErrorKind::Invalid, "The keyring holds no password for " + key);
    return job.textData().toStdString();
}

Status QtSecretStore::Write(const std::string& key, const std::string& secret)
{
    QKeychain::WritePasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    job.setTextData(QString::fromStdString(secret));
    return Finish(job, timeout_);
}

Status QtSecretStore::Remove(const std::string& key)
{
    QKeychain::DeletePasswordJob job(kService);
    job.setKey(QString::fromStdString(key));
    return Finish(job, timeout_);
}

} // namespace vorn
