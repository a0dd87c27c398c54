#include "views/HostKeyPrompt.h"

#include "engine/ConnectionOps.h"
#include "gui/Prompt.h"

#include <QApplication>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// How long a connecting thread waits for the user's answer before it gives up on the key.
constexpr std::chrono::minutes kLongestAnswerWait { 3 };

// A stored host text as plain words: a message box would take "<b>" for markup.
QString Plain(const std::string& text)
{
    QString out = QString::fromUtf8(text);
    for (QChar& c : out)
        if (c == u'<' || c == u'>' || c == u'&' || c.category() == QChar::Other_Control)
            c = u'?';
    return out;
}

QString Where(const vorn::sessions::HostKeyFacts& key)
{
    return key.port == 22 ? Plain(key.host) : Plain(key.host) + ":" + QString::number(key.port);
}

bool AskOnGuiThread(const vorn::sessions::HostKeyFacts& key)
{
    if (key.verdict == vorn::sessions::HostKeyFacts::Verdict::Changed) {
        Prompt::Warning(HostKeyChangedText(key), QStringLiteral("Host Key Changed"));
        return false;
    }
    return Prompt::Question(HostKeyQuestionText(key), QStringLiteral("Unknown Host Key"), nullptr, true)
        == Prompt::Answer::Yes;
}

} // namespace

QString HostKeyQuestionText(const vorn::sessions::HostKeyFacts& key)
{
    return QStringLiteral("The SFTP server %1 shows a host key that is not known yet.\n\n"
                          "Key type: %2\nFingerprint: %3\n\n"
                          "Trust this key, store it and connect? Answer No unless the fingerprint "
                          "is the one the server's administrator gave you.")
        .arg(Where(key), QString::fromStdString(key.type), QString::fromStdString(key.fingerprint));
}

QString HostKeyChangedText(const vorn::sessions::HostKeyFacts& key)
{
    return QStringLiteral("WARNING: the host key of the SFTP server %1 has CHANGED.\n\n"
                          "Stored key: %2\nKey shown now: %3 %4\n\n"
                          "Someone may be intercepting the connection, so none was made. If the "
                          "server's administrator confirms the new key, remove the old one from the "
                          "known-hosts file yourself.")
        .arg(Where(key), QString::fromStdString(key.knownFingerprint), QString::fromStdString(key.type),
            QString::fromStdString(key.fingerprint));
}

bool AskAboutHostKey(const vorn::sessions::HostKeyFacts& key)
{
    auto* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    if (QThread::currentThread() == app->thread())
        return AskOnGuiThread(key);
    // Not a blocking call: the GUI thread may be joining this very thread (a page that closes
    // waits for its browse), so the wait is bounded and an answer that comes later is dropped.
    struct Answer {
        std::mutex mutex;
        std::condition_variable given;
        bool done = false;
        bool accepted = false;
    };
    const auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        app,
        [answer, key] {
            const bool accepted = AskOnGuiThread(key);
            const std::lock_guard lock(answer->mutex);
            answer->done = true;
            answer->accepted = accepted;
            answer->given.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(answer->mutex);
    answer->given.wait_for(lock, kLongestAnswerWait, [&answer] { return answer->done; });
    return answer->done && answer->accepted;
}

void InstallHostKeyPrompt()
{
    vorn::SetHostKeyPrompt(&AskAboutHostKey);
}
