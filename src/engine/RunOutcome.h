#pragma once

#include <optional>
#include <string_view>

namespace vorn {

// How a run ended, and the project status it stores and shows for it.
enum class RunOutcome {
    Success, // the walk reached the root folder ("Success")
    Fail, // login, root folder or archive failed ("Fail")
    Failed, // the project could not be loaded ("Failed")
    Stopped, // Stop was requested ("Stop")
};

// The only conversions between an outcome and its status text.
[[nodiscard]] constexpr std::string_view RunOutcomeText(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Success:
        return "Success";
    case RunOutcome::Fail:
        return "Fail";
    case RunOutcome::Failed:
        return "Failed";
    case RunOutcome::Stopped:
        return "Stop";
    }
    return "Fail";
}

// Nothing for a status that is no outcome ("Running", an empty cell, an unknown text).
[[nodiscard]] constexpr std::optional<RunOutcome> RunOutcomeFromText(std::string_view text)
{
    for (const RunOutcome outcome :
        { RunOutcome::Success, RunOutcome::Fail, RunOutcome::Failed, RunOutcome::Stopped })
        if (RunOutcomeText(outcome) == text)
            return outcome;
    return std::nullopt;
}

} // namespace vorn
