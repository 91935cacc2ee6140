#include "platform/cloudkit/Faults.h"

#include <fnmatch.h>

namespace plat::cloudkit {

namespace {

bool globMatch(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

}  // namespace

const char* operationKindName(OperationKind kind) {
    switch (kind) {
        case OperationKind::FetchRecordZones:
            return "FetchRecordZones";
        case OperationKind::ModifyRecordZones:
            return "ModifyRecordZones";
        case OperationKind::FetchRecords:
            return "FetchRecords";
        case OperationKind::FetchCurrentUserRecord:
            return "FetchCurrentUserRecord";
        case OperationKind::ModifyRecords:
            return "ModifyRecords";
        case OperationKind::Query:
            return "Query";
        case OperationKind::FetchRecordChanges:
            return "FetchRecordChanges";
        case OperationKind::ModifySubscriptions:
            return "ModifySubscriptions";
        case OperationKind::AcceptShares:
            return "AcceptShares";
    }
    return "?";
}

FaultRule FaultRule::networkUnavailable(std::optional<OperationKind> kind) {
    FaultRule r;
    r.kind = kind;
    r.error = makeError(ErrorCode::NetworkUnavailable, "The network is unavailable.");
    return r;
}

FaultRule FaultRule::rateLimited(double retryAfterSeconds, std::optional<OperationKind> kind) {
    FaultRule r;
    r.kind = kind;
    r.error = makeRetryError(ErrorCode::RequestRateLimited, retryAfterSeconds);
    return r;
}

FaultRule FaultRule::quotaExceeded(std::optional<OperationKind> kind) {
    FaultRule r;
    r.kind = kind;
    r.error = makeError(ErrorCode::QuotaExceeded, "The user's storage quota is exceeded.");
    return r;
}

FaultRule FaultRule::itemFailure(ErrorCode code, std::string recordNamePattern,
                                 std::optional<OperationKind> kind) {
    FaultRule r;
    r.kind = kind;
    r.recordNamePattern = std::move(recordNamePattern);
    r.itemError = code;
    return r;
}

FaultRule FaultRule::unavailableAsset(std::string recordNamePattern) {
    FaultRule r;
    r.kind = OperationKind::FetchRecords;
    r.recordNamePattern = std::move(recordNamePattern);
    r.dropAsset = true;
    return r;
}

std::optional<ErrorCode> FaultDecision::itemErrorFor(const std::string& recordName) const {
    for (const auto& [pattern, code] : itemErrorPatterns)
        if (globMatch(pattern, recordName))
            return code;
    return std::nullopt;
}

bool FaultDecision::dropsAssetOf(const std::string& recordName) const {
    for (const auto& pattern : droppedAssetPatterns)
        if (globMatch(pattern, recordName))
            return true;
    return false;
}

void FaultInjector::addRule(FaultRule rule) {
    MutexLock lock(mutex_);
    rules_.push_back({std::move(rule), 0});
}

void FaultInjector::clearRules() {
    MutexLock lock(mutex_);
    rules_.clear();
}

void FaultInjector::setNetworkAvailable(bool available) {
    MutexLock lock(mutex_);
    network_ = available;
}

bool FaultInjector::networkAvailable() const {
    MutexLock lock(mutex_);
    return network_;
}

FaultDecision FaultInjector::decide(OperationKind kind, const std::vector<std::string>& recordNames) {
    MutexLock lock(mutex_);
    FaultDecision d;
    if (!network_) {
        d.error = makeError(ErrorCode::NetworkUnavailable, "The network is unavailable.");
        return d;
    }
    for (auto& armed : rules_) {
        const FaultRule& rule = armed.rule;
        if (rule.kind && *rule.kind != kind)
            continue;
        if (!rule.recordNamePattern.empty()) {
            bool any = false;
            for (const auto& name : recordNames)
                any = any || globMatch(rule.recordNamePattern, name);
            if (!any)
                continue;
        }
        ++armed.matches;
        if (rule.occurrence != 0 && armed.matches != rule.occurrence)
            continue;
        d.delay += rule.delay;
        if (rule.error && !d.error)
            d.error = rule.error;
        const std::string pattern = rule.recordNamePattern.empty() ? "*" : rule.recordNamePattern;
        if (rule.itemError)
            d.itemErrorPatterns.emplace_back(pattern, *rule.itemError);
        if (rule.dropAsset)
            d.droppedAssetPatterns.push_back(pattern);
    }
    return d;
}

void OperationLog::append(OperationLogEntry entry) {
    MutexLock lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<OperationLogEntry> OperationLog::entries() const {
    MutexLock lock(mutex_);
    return entries_;
}

std::vector<OperationLogEntry> OperationLog::entriesOfKind(OperationKind kind) const {
    MutexLock lock(mutex_);
    std::vector<OperationLogEntry> out;
    for (const auto& e : entries_)
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

void OperationLog::clear() {
    MutexLock lock(mutex_);
    entries_.clear();
}

}  // namespace plat::cloudkit
