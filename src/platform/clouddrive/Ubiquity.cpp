#include "platform/clouddrive/Ubiquity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/FileManager.h"

namespace fs = std::filesystem;

namespace plat::clouddrive {

namespace {

constexpr const char* kPlaceholderSuffix = ".icloud";
constexpr const char* kRequestSuffix = ".icloud-request";

std::string hiddenSibling(const std::string& path, const char* suffix) {
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + name + suffix;
}

bool exists(const std::string& path, bool* isDirectory = nullptr) {
    std::error_code error;
    auto status = fs::status(path, error);
    if (error || !fs::exists(status)) {
        return false;
    }
    if (isDirectory) {
        *isDirectory = fs::is_directory(status);
    }
    return true;
}

}  // namespace

std::string placeholderPathForItem(const std::string& path) {
    return hiddenSibling(path, kPlaceholderSuffix);
}

std::string requestPathForItem(const std::string& path) {
    return hiddenSibling(path, kRequestSuffix);
}

std::optional<std::string> itemNameForPlaceholderName(const std::string& name) {
    const std::string suffix = kPlaceholderSuffix;
    if (name.size() <= suffix.size() + 1 || name.front() != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    return name.substr(1, name.size() - suffix.size() - 1);
}

std::optional<Placeholder> readPlaceholder(const std::string& itemPath) {
    std::ifstream in(placeholderPathForItem(itemPath));
    if (!in) {
        return std::nullopt;
    }
    Placeholder placeholder;
    std::string key;
    while (in >> key) {
        if (key == "size") {
            in >> placeholder.size;
        } else if (key == "percent") {
            in >> placeholder.percent;
        } else if (key == "downloading") {
            in >> placeholder.downloading;
        } else if (key == "version") {
            in >> placeholder.version;
        } else {
            std::string ignored;
            in >> ignored;
        }
        if (in.fail()) {
            return std::nullopt;
        }
    }
    if (!std::isfinite(placeholder.percent)) {
        placeholder.percent = 0;
    }
    return placeholder;
}

ErrorPtr writePlaceholder(const std::string& itemPath, const Placeholder& placeholder) {
    std::ostringstream text;
    text << "size " << placeholder.size << "\npercent " << placeholder.percent << "\ndownloading "
         << (placeholder.downloading ? 1 : 0) << "\nversion " << placeholder.version << "\n";
    const std::string target = placeholderPathForItem(itemPath);
    const std::string temporary = target + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text.str();
        if (!out.flush()) {
            return fileErrorWithPOSIXError(errno ? errno : EIO, false, temporary);
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        fs::remove(temporary, error);
        return fileErrorWithPOSIXError(ENOENT, false, target);
    }
    return nullptr;
}

std::optional<ItemAttributes> attributesOfItem(const std::string& path) {
    ItemAttributes attributes;
    attributes.path = path;
    bool isDirectory = false;
    const bool present = exists(path, &isDirectory);
    auto placeholder = readPlaceholder(path);
    if (!present && !placeholder) {
        return std::nullopt;
    }
    attributes.isDirectory = present && isDirectory;
    if (placeholder) {
        attributes.status = present ? DownloadStatus::Downloaded : DownloadStatus::NotDownloaded;
        attributes.isDownloading = placeholder->downloading;
        attributes.percentDownloaded = placeholder->percent;
        attributes.size = placeholder->size;
    } else {
        std::error_code error;
        attributes.size = isDirectory ? 0 : fs::file_size(path, error);
        if (error) {
            attributes.size = 0;
        }
    }
    return attributes;
}

UbiquityService& UbiquityService::shared() {
    static auto* service = new UbiquityService();  // used until the process ends
    return *service;
}

void UbiquityService::setIdentityToken(std::optional<std::string> token) {
    MutexLock lock(mutex_);
    token_ = std::move(token);
}

std::optional<std::string> UbiquityService::identityToken() const {
    MutexLock lock(mutex_);
    return token_;
}

void UbiquityService::setContainerFolder(const std::string& identifier, std::optional<std::string> folder) {
    MutexLock lock(mutex_);
    if (folder) {
        containers_[identifier] = *folder;
    } else {
        containers_.erase(identifier);
    }
}

std::optional<std::string> UbiquityService::containerFolder(const std::string& identifier) const {
    MutexLock lock(mutex_);
    auto found = containers_.find(identifier);
    if (found == containers_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void UbiquityService::setStartDownloadingError(ErrorPtr error) {
    MutexLock lock(mutex_);
    startError_ = std::move(error);
}

ErrorPtr UbiquityService::startDownloadingItem(const std::string& path) {
    {
        MutexLock lock(mutex_);
        if (startError_) {
            return startError_;
        }
    }
    if (!readPlaceholder(path)) {
        return exists(path) ? nullptr : fileErrorWithPOSIXError(ENOENT, true, path);
    }
    auto error = requestDownload(path);
    if (!error) {
        MutexLock lock(mutex_);
        ++started_;
    }
    return error;
}

std::size_t UbiquityService::startedDownloadCount() const {
    MutexLock lock(mutex_);
    return started_;
}

ErrorPtr requestDownload(const std::string& path) {
    const std::string request = requestPathForItem(path);
    int fd = ::open(request.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fileErrorWithPOSIXError(errno, false, request);
    }
    (void)::close(fd);  // an empty marker file: nothing to lose
    return nullptr;
}

bool UbiquityService::waitForDownload(const std::string& path, double timeoutSeconds, bool askForDownload) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            std::isfinite(timeoutSeconds) && timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e6) : 0));
    bool requested = !askForDownload;
    while (true) {
        if (exists(path) || !readPlaceholder(path)) {
            return true;
        }
        if (!requested) {
            requested = !requestDownload(path);
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void UbiquityService::reset() {
    MutexLock lock(mutex_);
    token_.reset();
    containers_.clear();
    startError_ = nullptr;
    started_ = 0;
}

}  // namespace plat::clouddrive
