#include "editor/RemoteBrowser.h"

#include "common/DecimalText.h"
#include "common/PortText.h"
#include "editor/RemoteFolderList.h"
#include "engine/BackupRun.h"
#include "gui/Prompt.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

namespace {

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
    return vorn::OffThreadJobs::WaitForAllThreads(milliseconds);
}

std::uint16_t RemoteBrowser::PortFromText(const QString& text)
{
    return vorn::ParsePort(text.toStdString()).port; // 0 for a bad port: the connect fails
}

vorn::ServerLogin RemoteBrowser::CurrentLogin() const
{
    vorn::ServerLogin login;
    login.host = controls_.server->text().toStdString();
    login.user = controls_.user->text().toStdString();
    login.password = controls_.password->text().toStdString();
    login.port = PortFromText(controls_.port->text());
    vorn::ApplySessionOptions(sessionOptions_, login);
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
    Start(Kind::Connect, [login, shownPath](vorn::OffThreadJobs::Job& job) {
        Outcome outcome;
        // This session only proves the login; the listing below opens its own.
        const vorn::Status connected
            = OnSession(job, login, [](vorn::remote::RemoteSession&) { return true; });
        outcome.loggedIn = connected.ok();
        outcome.why = connected ? std::string() : connected.message();
        if (!outcome.loggedIn)
            return outcome;
        outcome.path = "/";
        (void)OnSession(job, login, [&outcome, &shownPath](vorn::remote::RemoteSession& session) {
            outcome.listed = bool(shownPath == "/"
                    ? vorn::LeaveRemoteFolder(session, outcome.path, outcome.rows)
                    : vorn::EnterRemoteFolder(session, shownPath, outcome.path, outcome.rows));
            return outcome.listed;
        });
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
    Start(Kind::Walk, [login, name, current](vorn::OffThreadJobs::Job& job) {
        Outcome outcome;
        outcome.path = current;
        (void)OnSession(job, login, [&outcome, &name](vorn::remote::RemoteSession& session) {
            outcome.listed
                = bool(name == ".." ? vorn::LeaveRemoteFolder(session, outcome.path, outcome.rows)
                                    : vorn::EnterRemoteFolder(session, name, outcome.path, outcome.rows));
            return outcome.listed;
        });
        return outcome;
    });
    return true;
}

vorn::Status RemoteBrowser::OnSession(vorn::OffThreadJobs::Job& job, const vorn::ServerLogin& login,
    const std::function<bool(vorn::remote::RemoteSession& session)>& use)
{
    auto made = vorn::MakeSessionFor(login);
    if (!made)
        return made.error();
    vorn::remote::RemoteSession& session = **made;
    const auto cancel = job.CancelWith([&session] { session.Cancel(); });
    vorn::Status connected = vorn::ConnectAndLogin(login, session);
    if (!connected)
        return connected;
    // A server that dropped the session after the login (an idle kick, a restart) is asked
    // once more on a fresh login, as a run's walk does; a refusal on a live session is final.
    if (!use(session)) {
        const auto probe = session.KeepAlive();
        if (!probe && probe.error().kind == vorn::ErrorKind::Closed && vorn::ConnectAndLogin(login, session))
            (void)use(session);
    }
    session.Disconnect();
    return connected;
}

RemoteBrowser::Outcome RemoteBrowser::Failed()
{
    Outcome outcome;
    outcome.loggedIn = false;
    return outcome;
}

void RemoteBrowser::Start(Kind kind, Job job)
{
    busy_ = true;
    controls_.connectButton->setEnabled(false);
    // Up to the connect time-out against a silent server: the dialog shows that it works.
    owner_->window()->setCursor(Qt::WaitCursor);
    const bool started = jobs_.Start([this, kind, job = std::move(job)](vorn::OffThreadJobs::Job& self) {
        Outcome outcome;
        try {
            outcome = job(self);
        } catch (...) {
            // A worker reports failure rather than ending the program.
            outcome = Failed();
        }
        return vorn::OffThreadJobs::Continuation(
            [this, kind, outcome = std::move(outcome)] { Finish(kind, outcome); });
    });
    if (!started)
        Finish(kind, Failed());
}

void RemoteBrowser::Finish(Kind kind, const Outcome& outcome)
{
    busy_ = false;
    owner_->window()->unsetCursor();
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
