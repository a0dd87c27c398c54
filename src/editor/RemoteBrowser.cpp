#include "editor/RemoteBrowser.h"

#include "app/Prompt.h"
#include "common/DecimalText.h"
#include "editor/RemoteFolderList.h"

#include <QEvent>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPromise>
#include <QPushButton>
#include <QThreadPool>
#include <memory>

namespace {

// The browse workers' own pool, so that a server that does not answer cannot hold up the
// application's shared pool. Its destructor, at exit, waits for workers still running; each
// is bounded by the FTP session's connect and reply time-outs and touches only what it owns.
QThreadPool& BrowsePool()
{
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(4);
        return true;
    }();
    (void)configured;
    return pool;
}

// The standard message, and under it why the login failed.
QString ConnectFailureText(const QString& standard, const std::string& why)
{
    return why.empty() ? standard : standard + "\n" + QString::fromStdString(why);
}

} // namespace

RemoteBrowser::RemoteBrowser(const Controls& controls, QString failureText, QWidget* owner)
    : QObject(owner)
    , controls_(controls)
    , failureText_(std::move(failureText))
    , owner_(owner)
{
    controls_.path->setReadOnly(true);
    controls_.path->installEventFilter(this);
    connect(controls_.list, &RemoteFolderList::rowDoubleClicked, this, [this](int row) { OpenRow(row); });
    SetPath(controls_.path->text().toStdString());
}

bool RemoteBrowser::WaitForWorkers(int milliseconds)
{
    return BrowsePool().waitForDone(milliseconds);
}

std::uint16_t RemoteBrowser::PortFromText(const QString& text)
{
    const std::int64_t port = vorn::ParseDecimal(text.toStdString());
    return port >= 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

vorn::ServerLogin RemoteBrowser::CurrentLogin() const
{
    vorn::ServerLogin login;
    login.host = controls_.server->text().toStdString();
    login.user = controls_.user->text().toStdString();
    login.password = controls_.password->text().toStdString();
    login.port = PortFromText(controls_.port->text());
    return login;
}

void RemoteBrowser::SetPath(const std::string& path)
{
    path_ = path;
    controls_.path->setText(QString::fromStdString(path));
}

bool RemoteBrowser::Connect()
{
    if (busy_)
        return false;
    const vorn::ServerLogin login = CurrentLogin();
    const std::string shownPath = path_;
    Start(Kind::Connect, [login, shownPath] {
        Outcome outcome;
        {
            // This session only proves the login; the listing below opens its own.
            sf::Ftp probe(false);
            const vorn::OpResult connected = vorn::ConnectAndLogin(login, probe);
            outcome.loggedIn = connected.ok;
            outcome.why = connected.message;
            if (outcome.loggedIn)
                (void)probe.Disconnect();
        }
        if (!outcome.loggedIn)
            return outcome;
        outcome.path = "/";
        outcome.listed
            = bool(shownPath == "/" ? vorn::LeaveRemoteFolder(outcome.path, outcome.rows, login)
                                    : vorn::EnterRemoteFolder(shownPath, outcome.path, login, outcome.rows));
        return outcome;
    });
    return true;
}

bool RemoteBrowser::OpenRow(int row)
{
    if (busy_ || row < 0 || row >= controls_.list->rowCount())
        return false;
    const vorn::ServerLogin login = CurrentLogin();
    const std::string name = controls_.list->NameBytesAt(row);
    const std::string current = path_;
    Start(Kind::Walk, [login, name, current] {
        Outcome outcome;
        outcome.path = current;
        outcome.listed
            = bool(name == ".." ? vorn::LeaveRemoteFolder(outcome.path, outcome.rows, login)
                                : vorn::EnterRemoteFolder(name, outcome.path, login, outcome.rows));
        return outcome;
    });
    return true;
}

RemoteBrowser::Outcome RemoteBrowser::Failed()
{
    Outcome outcome;
    outcome.loggedIn = false;
    return outcome;
}

void RemoteBrowser::Start(Kind kind, std::function<Outcome()> job)
{
    busy_ = true;
    controls_.connectButton->setEnabled(false);
    const quint64 generation = ++generation_;

    auto promise = std::make_shared<QPromise<Outcome>>();
    promise->start();
    // The watcher is a child of this object: when the page goes away, so does the watcher,
    // and a result that arrives later is never delivered.
    auto* watcher = new QFutureWatcher<Outcome>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, kind, generation] {
        watcher->deleteLater();
        if (generation != generation_)
            return;
        Finish(kind, watcher->future().resultCount() > 0 ? watcher->result() : Failed());
    });
    watcher->setFuture(promise->future());
    BrowsePool().start([promise, job = std::move(job)] {
        Outcome outcome;
        try {
            outcome = job();
        } catch (...) {
            // A worker reports failure rather than ending the program.
            outcome = Failed();
        }
        promise->addResult(std::move(outcome));
        promise->finish();
    });
}

void RemoteBrowser::Finish(Kind kind, const Outcome& outcome)
{
    busy_ = false;
    if (kind == Kind::Connect) {
        if (outcome.loggedIn) {
            // A listing that failed after a good login shows an empty folder.
            controls_.list->Fill(outcome.rows);
        }
        controls_.connectButton->setEnabled(true);
        if (!outcome.loggedIn)
            Prompt::Warning(ConnectFailureText(failureText_, outcome.why), "Connect Failed", owner_);
    } else {
        if (outcome.listed) {
            controls_.list->Fill(outcome.rows);
            SetPath(outcome.path);
        }
        controls_.connectButton->setEnabled(true);
    }
    emit browseFinished();
}

bool RemoteBrowser::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == controls_.path && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        // Tab still moves the focus on; everything else would edit the path.
        return key != Qt::Key_Tab && key != Qt::Key_Backtab;
    }
    return QObject::eventFilter(watched, event);
}
