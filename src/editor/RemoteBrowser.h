#pragma once

#include "engine/ConnectionOps.h"
#include "gui/OffThreadJobs.h"
#include "store/ProjectOptions.h"

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;
class QWidget;
class RemoteFolderList;

// Connect and folder walking for a page that picks a remote folder: the directory settings
// page and the destination dialog. Each browse runs on a worker thread with FTP sessions of
// its own; the result comes back to the GUI thread and is dropped when the owner is gone.
// Closing the page cancels the browse's session, so a silent server cannot hold it. While a
// browse runs, "Connect" is disabled and double clicks are ignored.
class RemoteBrowser : public QObject {
    Q_OBJECT
public:
    struct Controls {
        QLineEdit* server = nullptr;
        QLineEdit* port = nullptr;
        QLineEdit* user = nullptr;
        QLineEdit* password = nullptr;
        QLineEdit* path = nullptr; // changes only by browsing: every key press is swallowed
        QPushButton* connectButton = nullptr;
        RemoteFolderList* list = nullptr;
    };

    // `failureText` is the message shown, with the caption "Connect Failed", when the login
    // of a Connect fails. `owner` owns the message box and this object.
    RemoteBrowser(const Controls& controls, QString failureText, QWidget* owner);

    // Start a browse; false (and nothing happens) while another one runs.
    bool Connect();
    bool OpenRow(int row);

    [[nodiscard]] bool busy() const { return busy_; }
    [[nodiscard]] vorn::ServerLogin CurrentLogin() const;
    // The project's SFTP settings (key file, following links) for the sessions of later browses.
    void SetSessionOptions(const vorn::ProjectOptions& options) { sessionOptions_ = options; }
    [[nodiscard]] const vorn::ProjectOptions& sessionOptions() const { return sessionOptions_; }

    // The browse path as bytes (the server's names need not be valid UTF-8); the path edit
    // shows it.
    [[nodiscard]] const std::string& path() const { return path_; }
    void SetPath(const std::string& path);

    // Waits until no worker of any page runs (a page that has gone drops its result); false
    // when `milliseconds` pass first.
    static bool WaitForWorkers(int milliseconds);

    // The port text as a port number: its leading digits, 0 when there are none or the
    // number is beyond 65535 (the connection then fails like any unreachable server).
    [[nodiscard]] static std::uint16_t PortFromText(const QString& text);

signals:
    // A browse has ended and its result (if any) is on screen.
    void browseFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    vorn::ProjectOptions sessionOptions_;
    struct Outcome {
        bool loggedIn = true;
        bool listed = false;
        std::string why; // why the login failed
        std::string path;
        std::vector<vorn::RemoteEntry> rows;
    };
    enum class Kind { Connect, Walk };
    [[nodiscard]] static Outcome Failed();

    using Job = std::function<Outcome(vorn::OffThreadJobs::Job& job)>;
    void Start(Kind kind, Job job);
    // Opens a session on `login` that the job's cancellation reaches, and runs `use` on it
    // once logged in; `use` says whether its step succeeded. A step that failed because the
    // server dropped the session runs once more on a fresh login. Says why a login failed.
    [[nodiscard]] static vorn::Status OnSession(vorn::OffThreadJobs::Job& job, const vorn::ServerLogin& login,
        const std::function<bool(vorn::remote::RemoteSession& session)>& use);
    void Finish(Kind kind, const Outcome& outcome);

    Controls controls_;
    QString failureText_;
    QWidget* owner_;
    std::string path_;
    bool busy_ = false;
    // Last, so its threads are joined (their sessions cancelled) before the rest goes.
    vorn::OffThreadJobs jobs_ { this };
};
