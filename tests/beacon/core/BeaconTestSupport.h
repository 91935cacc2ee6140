// Helpers for the telemetry core's tests: a capturing log handler, a manual
// date source, and settings and SDK folder in a temporary directory.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/security/Keychain.h"
#include "support/TempDir.h"

namespace beactest {

struct LoggedLine {
    BEACLogLevel level;
    std::string tag;
    std::string message;
};

// Captures every message (any level) while alive; restores the default handler after.
// The lines live in shared state that the handler keeps: a queue thread that
// took the handler just before it was replaced may still call it afterwards.
class CapturingLog {
  public:
    CapturingLog() : state_(std::make_shared<State>()) {
        BEACLogger::setLogHandler([state = state_](const BEACLogMessageProvider& provider, BEACLogLevel level,
                                                   const std::string& tag, const char*, const char*,
                                                   uint32_t) {
            std::string message = provider();
            std::lock_guard lock(state->mutex);
            state->lines.push_back({level, tag, std::move(message)});
        });
    }
    ~CapturingLog() {
        BEACLogger::setLogHandler(&BEACLogger::defaultLogHandler);
        BEACLogger::setIsUserDefinedLogLevel(false);
    }
    std::vector<LoggedLine> lines() const {
        std::lock_guard lock(state_->mutex);
        return state_->lines;
    }
    std::size_t count(const std::string& message) const {
        std::size_t n = 0;
        for (const auto& line : lines())
            n += line.message == message;
        return n;
    }
    bool containsPrefix(const std::string& prefix, BEACLogLevel level) const {
        for (const auto& line : lines()) {
            if (line.level == level && line.message.rfind(prefix, 0) == 0)
                return true;
        }
        return false;
    }
    void clear() {
        std::lock_guard lock(state_->mutex);
        state_->lines.clear();
    }

  private:
    struct State {
        std::mutex mutex;
        std::vector<LoggedLine> lines;
    };
    std::shared_ptr<State> state_;
};

// The current date, set by hand while alive.
class ManualNow {
  public:
    explicit ManualNow(double secondsSinceReferenceDate = 700000000.0) : now_(secondsSinceReferenceDate) {
        previous_ = plat::Date::setNowSource([this] {
            std::lock_guard lock(mutex_);
            return plat::Date(now_);
        });
    }
    ~ManualNow() { plat::Date::setNowSource(previous_); }
    void advance(double seconds) {
        std::lock_guard lock(mutex_);
        now_ += seconds;
    }
    plat::Date now() const {
        std::lock_guard lock(mutex_);
        return plat::Date(now_);
    }

  private:
    mutable std::mutex mutex_;
    double now_;
    plat::Date::NowSource previous_;
};

// Settings file, SDK folder and keychain file inside a temporary folder.
class SandboxedSDK {
  public:
    SandboxedSDK() : defaults_(std::make_shared<plat::UserDefaults>((dir_ / "defaults.plist").string())) {
        BEACBeaconUserDefaults::resetSharedInstance(defaults_);
        BEACUtility::setBeaconDirectoryPath((dir_ / "sdk").string());
        plat::security::Keychain::setDefaultKeychain(
            std::make_shared<plat::security::FileKeychain>((dir_ / "keychain" / "login.keychain").string()));
    }
    ~SandboxedSDK() {
        plat::security::Keychain::setDefaultKeychain(nullptr);
        BEACBeaconUserDefaults::resetSharedInstance();
        BEACUtility::setBeaconDirectoryPath(std::nullopt);
    }
    const testsupport::TempDir& dir() const { return dir_; }
    const std::shared_ptr<plat::UserDefaults>& defaults() const { return defaults_; }
    // A fresh process's view of the same settings file.
    void relaunchDefaults() {
        defaults_ = std::make_shared<plat::UserDefaults>((dir_ / "defaults.plist").string());
        BEACBeaconUserDefaults::resetSharedInstance(defaults_);
    }

  private:
    testsupport::TempDir dir_;
    std::shared_ptr<plat::UserDefaults> defaults_;
};

}  // namespace beactest
