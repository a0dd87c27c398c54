#pragma once

#include "engine/ForwardingObserver.h"

#include <mutex>

namespace vorn {

// Passes the reports of several threads on one at a time: the sessions of a run that
// transfers on several connections report their rows while the walk reports its own, and
// the observers behind (a console, a queue to the window, the history) expect one caller.
class SerializedObserver : public ForwardingObserver {
public:
    using ForwardingObserver::ForwardingObserver;

    void OnRunStarted(const std::string& name) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnRunStarted(name);
    }
    void OnProjectStatus(const std::string& name, ProjectStatus status) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnProjectStatus(name, status);
    }
    void OnLastBackupTime(const std::string& name, const std::string& time) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnLastBackupTime(name, time);
    }
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnFileRowInserted(rowId, timeText, remotePath, sizeText);
    }
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnFileRowStatus(rowId, status, reason);
    }
    void OnRunFailed(const std::string& name, const std::string& reason) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnRunFailed(name, reason);
    }
    void OnResultText(const std::string& text) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnResultText(text);
    }
    void OnRunNotice(NoticeSeverity severity, const std::string& name, const std::string& text) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnRunNotice(severity, name, text);
    }
    void OnRunFinished(const std::string& name, RunOutcome outcome) override
    {
        const std::lock_guard lock(mutex_);
        ForwardingObserver::OnRunFinished(name, outcome);
    }

private:
    std::mutex mutex_;
};

} // namespace vorn
