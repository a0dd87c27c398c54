#pragma once

#include "engine/RunObserver.h"

namespace vorn {

// Passes every report on to another observer. Wrappers that watch a run (its history, the
// scheduler's outcome check) derive from it and override only what they look at, so a report
// added to RunObserver later reaches the user through every wrapper without further work.
class ForwardingObserver : public RunObserver {
public:
    // `inner` null: the reports go nowhere (a run without a listener).
    explicit ForwardingObserver(RunObserver* inner)
        : inner_(inner ? inner : &nobody_)
    {
    }

    void OnRunStarted(const std::string& name) override { inner_->OnRunStarted(name); }
    void OnProjectStatus(const std::string& name, ProjectStatus status) override
    {
        inner_->OnProjectStatus(name, status);
    }
    void OnLastBackupTime(const std::string& name, const std::string& time) override
    {
        inner_->OnLastBackupTime(name, time);
    }
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override
    {
        inner_->OnFileRowInserted(rowId, timeText, remotePath, sizeText);
    }
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override
    {
        inner_->OnFileRowStatus(rowId, status, reason);
    }
    void OnRunFailed(const std::string& name, const std::string& reason) override
    {
        inner_->OnRunFailed(name, reason);
    }
    void OnResultText(const std::string& text) override { inner_->OnResultText(text); }
    void OnRunNotice(NoticeSeverity severity, const std::string& name, const std::string& text) override
    {
        inner_->OnRunNotice(severity, name, text);
    }
    void OnRunFinished(const std::string& name, RunOutcome outcome) override
    {
        inner_->OnRunFinished(name, outcome);
    }

private:
    RunObserver nobody_;
    RunObserver* inner_;
};

} // namespace vorn
