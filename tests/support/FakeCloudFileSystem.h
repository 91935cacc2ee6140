// FakeCloudFileSystem: an in-memory cloud file system for the error paths a
// real folder cannot provoke. Optional members are switched on one by one,
// errors are injected per operation and path, completions come on the main
// queue, on a background thread or inline, and every call is logged.
//
// Header-only, so that test support does not depend on the sync libraries;
// include it from tests that link sync_cloudfs.
#pragma once

#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

namespace testsupport {

class FakeCloudFileSystem : public SYNCloudFileSystem {
  public:
    enum class Delivery { Main, Background, Inline };

    FakeCloudFileSystem() { directories_.insert("/"); }

    // --- Switches ----------------------------------------------------------------
    std::set<OptionalMember> members;
    std::size_t uploadBatchSize = 30;
    std::size_t downloadBatchSize = 30;
    Delivery delivery = Delivery::Main;
    plat::Value identity = plat::Value("fake-user");

    // Fails the named operation ("list", "exists", "create", "remove",
    // "upload", "download", "removeBatch", "uploadBatch", "downloadBatch")
    // on that path (or on every path with "*").
    void failOperation(const std::string& operation, const std::string& path = "*") {
        std::lock_guard lock(mutex_);
        failures_.insert(operation + " " + path);
    }
    void clearFailures() {
        std::lock_guard lock(mutex_);
        failures_.clear();
    }

    // --- Contents ------------------------------------------------------------------
    void addFile(const std::string& path, std::string content = "x") {
        std::lock_guard lock(mutex_);
        files_[path] = std::move(content);
    }
    void removeFile(const std::string& path) {
        std::lock_guard lock(mutex_);
        files_.erase(path);
    }
    void addDirectory(const std::string& path) {
        std::lock_guard lock(mutex_);
        directories_.insert(path);
    }
    bool hasFile(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return files_.count(path) > 0;
    }
    bool hasDirectory(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return directories_.count(path) > 0;
    }
    std::string content(const std::string& path) const {
        std::lock_guard lock(mutex_);
        auto found = files_.find(path);
        return found == files_.end() ? std::string() : found->second;
    }
    std::set<std::string> filesIn(const std::string& directory) const {
        std::lock_guard lock(mutex_);
        std::set<std::string> names;
        for (const auto& [path, content] : files_) {
            if (parentOf(path) == directory) {
                names.insert(path.substr(directory.size() + 1));
            }
        }
        return names;
    }
    // "operation path" per call, in order.
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t countCalls(const std::string& operation) const {
        std::size_t count = 0;
        for (const auto& call : calls()) {
            count += call.rfind(operation + " ", 0) == 0;
        }
        return count;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    // --- Protocol --------------------------------------------------------------------
    bool isConnected() const override { return true; }
    void fetchUserIdentityWithCompletion(IdentityCompletion completion) override {
        auto value = identity;
        deliver([completion, value] { completion(value, nullptr); });
    }
    void connect(Completion completion) override { finish(completion, nullptr); }
    void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override {
        auto error = record("exists", path);
        bool file = hasFile(path), directory = hasDirectory(path);
        deliver([=] { completion(!error && (file || directory), !error && directory, error); });
    }
    void createDirectoryAtPath(const std::string& path, Completion completion) override {
        auto error = record("create", path);
        if (!error) {
            std::lock_guard lock(mutex_);
            if (files_.count(path) || directories_.count(path)) {
                error = plat::fileErrorWithPOSIXError(EEXIST, false, path);
            } else if (!directories_.count(parentOf(path))) {
                error = plat::fileErrorWithPOSIXError(ENOENT, false, path);
            } else {
                directories_.insert(path);
            }
        }
        finish(completion, error);
    }
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override {
        auto error = record("list", path);
        SYNCloudItems items;
        if (!error) {
            std::lock_guard lock(mutex_);
            for (const auto& directory : directories_) {
                if (directory != "/" && parentOf(directory) == path) {
                    items.push_back(std::make_shared<SYNCloudDirectory>(directory, nameOf(directory)));
                }
            }
            for (const auto& [file, content] : files_) {
                if (parentOf(file) == path) {
                    items.push_back(std::make_shared<SYNCloudFile>(file, nameOf(file), content.size()));
                }
            }
        }
        deliver([completion, items, error] { completion(items, error); });
    }
    void removeItemAtPath(const std::string& path, Completion completion) override {
        auto error = record("remove", path);
        if (!error) {
            error = removeLocked(path);
        }
        finish(completion, error);
    }
    void uploadLocalFile(const std::string& localPath, const std::string& path,
                         Completion completion) override {
        finish(completion, upload("upload", localPath, path));
    }
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override {
        finish(completion, download("download", path, localPath));
    }

    bool respondsToMember(OptionalMember member) const override { return members.count(member) > 0; }
    void directoryExistsAtPath(const std::string& path, DirectoryExistenceCompletion completion) override {
        auto error = record("directoryExists", path);
        bool directory = hasDirectory(path);
        deliver([=] { completion(!error && directory, error); });
    }
    std::size_t fileUploadMaximumBatchSize() const override { return uploadBatchSize; }
    std::size_t fileDownloadMaximumBatchSize() const override { return downloadBatchSize; }
    void uploadLocalFiles(const std::vector<std::string>& localPaths, const std::vector<std::string>& paths,
                          Completion completion) override {
        plat::ErrorPtr error = record("uploadBatch", paths.empty() ? "" : paths.front());
        for (std::size_t i = 0; !error && i < paths.size(); ++i) {
            error = upload("", localPaths[i], paths[i]);
        }
        finish(completion, error);
    }
    void downloadFromPaths(const std::vector<std::string>& paths, const std::vector<std::string>& localPaths,
                           Completion completion) override {
        plat::ErrorPtr error = record("downloadBatch", paths.empty() ? "" : paths.front());
        for (std::size_t i = 0; !error && i < paths.size(); ++i) {
            error = download("", paths[i], localPaths[i]);
        }
        finish(completion, error);
    }
    void removeItemsAtPaths(const std::vector<std::string>& paths, Completion completion) override {
        plat::ErrorPtr error = record("removeBatch", std::to_string(paths.size()));
        for (const auto& path : paths) {
            if (!error) {
                error = removeLocked(path);
            }
        }
        finish(completion, error);
    }

  private:
    static std::string parentOf(const std::string& path) {
        auto slash = path.rfind('/');
        return slash == 0 ? "/" : path.substr(0, slash);
    }
    static std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

    plat::ErrorPtr record(const std::string& operation, const std::string& path) {
        std::lock_guard lock(mutex_);
        if (!operation.empty()) {
            calls_.push_back(operation + " " + path);
        }
        if (failures_.count(operation + " " + path) || failures_.count(operation + " *")) {
            return plat::Error::withDescription("FakeCloudErrorDomain", 1,
                                                "injected failure of " + operation);
        }
        return nullptr;
    }
    plat::ErrorPtr removeLocked(const std::string& path) {
        std::lock_guard lock(mutex_);
        bool found = files_.erase(path) > 0;
        for (auto it = files_.begin(); it != files_.end();) {
            it = it->first.rfind(path + "/", 0) == 0 ? files_.erase(it) : std::next(it);
        }
        for (auto it = directories_.begin(); it != directories_.end();) {
            if (*it == path || it->rfind(path + "/", 0) == 0) {
                found = true;
                it = directories_.erase(it);
            } else {
                ++it;
            }
        }
        return found ? nullptr : plat::fileErrorWithPOSIXError(ENOENT, false, path);
    }
    plat::ErrorPtr upload(const std::string& operation, const std::string& localPath,
                          const std::string& path) {
        if (!operation.empty()) {
            if (auto error = record(operation, path)) {
                return error;
            }
        }
        std::ifstream in(localPath, std::ios::binary);
        if (!in) {
            return plat::fileErrorWithPOSIXError(ENOENT, true, localPath);
        }
        std::string data((std::istreambuf_iterator<char>(in)), {});
        std::lock_guard lock(mutex_);
        if (failures_.count("upload " + path)) {
            return plat::Error::withDescription("FakeCloudErrorDomain", 1, "injected failure of upload");
        }
        if (!directories_.count(parentOf(path))) {
            return plat::fileErrorWithPOSIXError(ENOENT, false, path);
        }
        if (files_.count(path)) {
            return plat::fileErrorWithPOSIXError(EEXIST, false, path);  // as a real folder refuses
        }
        files_[path] = std::move(data);
        return nullptr;
    }
    plat::ErrorPtr download(const std::string& operation, const std::string& path,
                            const std::string& localPath) {
        if (!operation.empty()) {
            if (auto error = record(operation, path)) {
                return error;
            }
        }
        std::string data;
        {
            std::lock_guard lock(mutex_);
            if (failures_.count("download " + path)) {
                return plat::Error::withDescription("FakeCloudErrorDomain", 1,
                                                    "injected failure of download");
            }
            auto found = files_.find(path);
            if (found == files_.end()) {
                return plat::fileErrorWithPOSIXError(ENOENT, true, path);
            }
            data = found->second;
        }
        std::ofstream(localPath, std::ios::binary) << data;
        return nullptr;
    }
    void finish(const Completion& completion, plat::ErrorPtr error) {
        if (completion) {
            deliver([completion, error] { completion(error); });
        }
    }
    template <class F>
    void deliver(F&& block) {
        switch (delivery) {
            case Delivery::Inline:
                block();
                break;
            case Delivery::Background:
                std::thread(std::forward<F>(block)).detach();
                break;
            case Delivery::Main:
                plat::dispatch::Queue::main().async(std::forward<F>(block));
                break;
        }
    }

    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
    std::set<std::string> directories_;
    std::set<std::string> failures_;
    std::vector<std::string> calls_;
};

}  // namespace testsupport
