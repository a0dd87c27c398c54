#include "schedule/Scheduler.h"

#include "common/TimeText.h"
#include "schedule/Schedule.h"

namespace vorn {

namespace {

constexpr std::time_t ReloadDelaySeconds = 5;
constexpr std::time_t HousekeepingSeconds = 60;

bool SamePlan(const DuePlan& a, const DuePlan& b)
{
    return a.name == b.name && a.planMode == b.planMode && a.hour == b.hour && a.minute == b.minute
        && a.dayMode == b.dayMode && a.intervalSeconds == b.intervalSeconds;
}

// Gives each plan of `fresh` the progress of the same plan in `old` (same name and the same
// timing today); every old entry lends its progress once.
void CarryProgress(std::vector<DuePlan>& fresh, const std::vector<DuePlan>& old)
{
    std::vector<bool> used(old.size(), false);
    for (DuePlan& plan : fresh) {
        for (std::size_t i = 0; i < old.size(); ++i) {
            if (used[i] || !SamePlan(plan, old[i]))
                continue;
            used[i] = true;
            plan.handled = old[i].handled;
            plan.nextHour = old[i].nextHour;
            plan.nextMinute = old[i].nextMinute;
            plan.nextSecond = old[i].nextSecond;
            break;
        }
    }
}

} // namespace

Scheduler::Scheduler(SchedulerHost& host, const Clock& clock, PassThread passThread)
    : host_(host)
    , clock_(clock)
    , passThread_(passThread)
{
    if (passThread_ == PassThread::Worker)
        worker_ = std::thread([this] { WorkerLoop(); });
}

Scheduler::~Scheduler()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void Scheduler::Start()
{
    const std::time_t now = clock_.Now();
    std::lock_guard lock(mutex_);
    reloadAt_ = now + ReloadDelaySeconds;
}

void Scheduler::Poll()
{
    ReloadIfDue();
    ReloadIfChanged();
    MidnightTick();
    RequestHousekeeping();
    Tick();
}

void Scheduler::RequestHousekeeping()
{
    const std::time_t now = clock_.Now();
    std::lock_guard lock(mutex_);
    if (!midnightWatch_ || (lastHousekeeping_ && now - *lastHousekeeping_ < HousekeepingSeconds))
        return;
    lastHousekeeping_ = now;
    housekeepingDue_ = true;
}

void Scheduler::RunHousekeeping(std::unique_lock<std::mutex>& lock)
{
    if (!housekeepingDue_)
        return;
    housekeepingDue_ = false;
    const bool first = firstHousekeeping_;
    firstHousekeeping_ = false;
    lock.unlock();
    const std::vector<std::string> catchUp = host_.Housekeeping(clock_.Now(), first);
    lock.lock();
    for (const std::string& name : catchUp) {
        if (stopping_)
            return;
        StartProject(lock, name);
    }
}

void Scheduler::ReloadIfDue()
{
    const std::time_t now = clock_.Now();
    {
        std::lock_guard lock(mutex_);
        if (!reloadAt_ || now < *reloadAt_)
            return;
    }
    Reload();
}

void Scheduler::Reload()
{
    // The query and the due test run without the lock: a pass in the middle of a long run
    // must not hold up the caller. The stamp is read first, so a change that lands during the
    // query is seen by the next look.
    const std::optional<ChangeStamp> stamp = host_.DatabaseStamp();
    const std::time_t now = clock_.Now();
    std::vector<PlanRow> rows = host_.QueryPlans();
    const std::tm local = LocalTm(now);

    std::lock_guard lock(mutex_);
    reloadAt_.reset();
    midnightWatch_ = true;
    loadedYear_ = local.tm_year;
    loadedYearDay_ = local.tm_yday;
    seenStamp_ = stamp;
    Install(std::move(rows), now, false);
}

bool Scheduler::ReloadChangedPlans()
{
    {
        std::lock_guard lock(mutex_);
        if (!midnightWatch_)
            return false;
    }
    const std::optional<ChangeStamp> stamp = host_.DatabaseStamp();
    const std::time_t now = clock_.Now();
    std::optional<std::vector<PlanRow>> rows = host_.TryQueryPlans();

    std::lock_guard lock(mutex_);
    if (!rows)
        return false;
    seenStamp_ = stamp;
    if (*rows == (waiting_ ? waiting_->rows : loadedRows_))
        return false;
    Install(std::move(*rows), now, true);
    return true;
}

bool Scheduler::ReloadIfChanged()
{
    const std::optional<ChangeStamp> stamp = host_.DatabaseStamp();
    if (!stamp)
        return false;
    {
        std::lock_guard lock(mutex_);
        if (!midnightWatch_ || seenStamp_ == stamp)
            return false;
    }
    return ReloadChangedPlans();
}

void Scheduler::Install(std::vector<PlanRow> rows, std::time_t at, bool keepProgress)
{
    if (passActive_) {
        // A full reload waiting for the pass to end stays a full one.
        const bool keep = keepProgress && (!waiting_ || waiting_->keepProgress);
        waiting_ = WaitingLoad { std::move(rows), at, keep };
        return;
    }
    std::vector<DuePlan> fresh;
    LoadDuePlans(rows, at, fresh);
    if (keepProgress)
        CarryProgress(fresh, duePlans_);
    duePlans_ = std::move(fresh);
    loadedRows_ = std::move(rows);
    pendingCount_ = std::int32_t(duePlans_.size());
}

bool Scheduler::Tick()
{
    {
        std::lock_guard lock(mutex_);
        if ((pendingCount_ == 0 && !housekeepingDue_) || passActive_)
            return false;
    }
    if (host_.RunState() != 0)
        return false;
    if (passThread_ == PassThread::Caller)
        return CheckDuePlans();
    {
        std::lock_guard lock(mutex_);
        if (passActive_ || stopping_)
            return false;
        passActive_ = true;
        passRequested_ = true;
    }
    wake_.notify_one();
    return true;
}

void Scheduler::MidnightTick()
{
    const std::time_t now = clock_.Now();
    const std::string timeOfDay = FormatLocalTime(now, "%H:%M:%S");
    const std::tm local = LocalTm(now);
    const bool afterMidnight = timeOfDay >= "00:00:00" && timeOfDay <= "00:01:00";

    std::lock_guard lock(mutex_);
    if (!midnightWatch_)
        return;
    const bool dayChanged = local.tm_year != loadedYear_ || local.tm_yday != loadedYearDay_;
    // Re-arming in every second of the window pushes the reload to about 00:01:05.
    if (afterMidnight || (dayChanged && !reloadAt_))
        reloadAt_ = now + ReloadDelaySeconds;
}

bool Scheduler::CheckDuePlans()
{
    {
        std::lock_guard lock(mutex_);
        if (passActive_)
            return false;
        passActive_ = true;
    }
    RunClaimedPass();
    return true;
}

void Scheduler::RunClaimedPass()
{
    // Ends the pass however the loop is left, so a throwing host cannot wedge the scheduler.
    struct PassEnd {
        Scheduler& scheduler;
        ~PassEnd() { scheduler.FinishPass(); }
    } passEnd { *this };

    std::unique_lock lock(mutex_);
    // A pass that only the upkeep asked for leaves the plans as they are.
    const bool plansPending = pendingCount_ != 0;
    RunHousekeeping(lock);
    if (!plansPending)
        return;
    pendingCount_ = std::int32_t(duePlans_.size());
    // Indexes, not iterators or references: the run releases the lock, and although no one
    // resizes the list while the pass is active, indexing keeps that assumption in one place.
    for (std::size_t i = 0; i < duePlans_.size() && !stopping_; ++i) {
        const std::tm now = LocalTm(clock_.Now());
        DuePlan& plan = duePlans_[i];
        if (IsIntervalPlan(plan)) {
            if (!plan.handled) {
                plan.nextHour = now.tm_hour;
                plan.nextMinute = now.tm_min;
                plan.nextSecond = now.tm_sec;
                plan.handled = true;
                AdvanceNextTime(plan);
            }
            if (now.tm_hour == plan.nextHour && now.tm_min == plan.nextMinute) {
                StartProject(lock, plan.name);
                // The next time moves on from the previous one, not from the end of the run.
                AdvanceNextTime(duePlans_[i]);
            }
        } else if (IsOneShotPlan(plan)) {
            if (now.tm_hour == plan.hour && now.tm_min == plan.minute && !plan.handled) {
                plan.handled = true;
                --pendingCount_;
                StartProject(lock, plan.name);
            }
        }
    }
}

void Scheduler::StartProject(std::unique_lock<std::mutex>& lock, const std::string& name)
{
    const std::string project = name;
    lock.unlock();
    host_.RunProject(project);
    RefreshNextBackupTime(project);
    lock.lock();
}

void Scheduler::FinishPass()
{
    std::lock_guard lock(mutex_);
    passActive_ = false;
    if (waiting_) {
        WaitingLoad waiting = std::move(*waiting_);
        waiting_.reset();
        Install(std::move(waiting.rows), waiting.at, waiting.keepProgress);
    }
}

void Scheduler::RefreshNextBackupTime(const std::string& name)
{
    const std::optional<ScheduleTexts> schedule = host_.QuerySchedule(name);
    if (!schedule)
        return;
    host_.OnNextBackupTime(name,
        ComputeNextBackupTime(schedule->planMode, schedule->plan, schedule->hour, schedule->minute,
            schedule->dayMode, clock_.Now()));
}

void Scheduler::WorkerLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return passRequested_ || stopping_; });
        if (stopping_)
            return;
        passRequested_ = false;
        lock.unlock();
        try {
            RunClaimedPass();
        } catch (...) {
            // Thread edge: the host broke its no-throw promise; the pass has ended and the
            // next tick carries on.
        }
        lock.lock();
    }
}

std::vector<DuePlan> Scheduler::DuePlans() const
{
    std::lock_guard lock(mutex_);
    return duePlans_;
}

std::int32_t Scheduler::PendingCount() const
{
    std::lock_guard lock(mutex_);
    return pendingCount_;
}

bool Scheduler::PassActive() const
{
    std::lock_guard lock(mutex_);
    return passActive_;
}

} // namespace vorn
