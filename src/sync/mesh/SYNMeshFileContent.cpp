// Merging the file content of side directories, for SYNPersistentStoreMesh.
#include <algorithm>
#include <set>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"

namespace {

constexpr std::size_t kDefaultBatchSize = 20;

// A name that stays inside the directory it is joined to and is not hidden.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::vector<std::vector<std::string>> batches(const std::vector<std::string>& names, std::size_t size) {
    std::vector<std::vector<std::string>> out;
    size = std::max<std::size_t>(size, 1);
    for (std::size_t i = 0; i < names.size(); i += size) {
        out.emplace_back(names.begin() + static_cast<std::ptrdiff_t>(i),
                         names.begin() + static_cast<std::ptrdiff_t>(std::min(names.size(), i + size)));
    }
    return out;
}

// Calls the completion when given.
void call(const SYNCompletion& completion, const plat::ErrorPtr& error) {
    if (completion) {
        completion(error);
    }
}

}  // namespace

void SYNPersistentStoreMesh::alwaysMergeFileContentInLocalDirectory(const std::string& localDirectory,
                                                                    const std::string& cloudDirectory) {
    plat::MutexLock lock(sideDirectoriesMutex_);
    for (auto& entry : sideDirectories_) {
        if (entry.first == localDirectory) {
            entry.second = cloudDirectory;
            return;
        }
    }
    sideDirectories_.emplace_back(localDirectory, cloudDirectory);
}

std::vector<std::pair<std::string, std::string>>
SYNPersistentStoreMesh::cloudDirectoriesByLocalDirectoriesForFileContentMerging() const {
    plat::MutexLock lock(sideDirectoriesMutex_);
    return sideDirectories_;
}

void SYNPersistentStoreMesh::mergeFileContentOfLocalDirectory(
    const std::string& localDirectory, const std::string& cloudDirectory,
    const std::shared_ptr<plat::dispatch::OperationQueue>& queue, TransferProgress progress,
    SYNCompletion completion) {
    auto self = shared_from_this();
    auto fs = config_.cloudFileSystem;
    std::string cloudPath = cloudManager_->remoteFilesDirectory() + "/" + cloudDirectory;
    auto begin = [self, fs, localDirectory, cloudPath, queue, progress, completion] {
        fs->fileExistsAtPath(cloudPath, [=](bool exists, bool isDirectory, plat::ErrorPtr error) {
            if (error) {
                dispatchCompletion(completion, error);
            } else if (exists && isDirectory) {
                self->listAndTransfer(localDirectory, cloudPath, queue, progress, completion);
            } else if (exists) {
                dispatchCompletion(
                    completion,
                    plat::Error::make(
                        SYNErrorDomain, SYNErrorPathIsNotDirectory,
                        plat::Dictionary{{"detail", plat::Value(plat::format(
                                                        "'%@' is exists, but expected to be directory, got ",
                                                        cloudPath))}}));
            } else {
                fs->createDirectoryAtPath(cloudPath, [=](plat::ErrorPtr error) {
                    if (error) {
                        dispatchCompletion(completion, error);
                    } else {
                        self->listAndTransfer(localDirectory, cloudPath, queue, progress, completion);
                    }
                });
            }
        });
    };
    fs->connect([fs, begin, completion](plat::ErrorPtr error) {
        if (error) {
            call(completion, error);
            return;
        }
        if (!fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity)) {
            begin();
            return;
        }
        fs->primeForActivityWithCompletion([begin, completion](plat::ErrorPtr error) {
            if (error) {
                call(completion, error);
            } else {
                begin();
            }
        });
    });
}

void SYNPersistentStoreMesh::listAndTransfer(const std::string& localDirectory, const std::string& cloudPath,
                                             const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                                             TransferProgress progress, SYNCompletion completion) {
    auto self = shared_from_this();
    config_.cloudFileSystem->contentsOfDirectoryAtPath(
        cloudPath, [=](SYNCloudItems items, plat::ErrorPtr error) {
            if (error) {
                dispatchCompletion(completion, error);
                return;
            }
            auto local = plat::FileManager::defaultManager().contentsOfDirectoryAtPath(localDirectory);
            if (!local.ok()) {
                dispatchCompletion(completion, local.error());
                return;
            }
            std::set<std::string> cloudNames;
            for (const auto& item : items) {
                if (isPlainFileName(item->name())) {
                    cloudNames.insert(item->name());
                } else {
                    SYN_LOG(2, "Ignoring cloud item that is no plain file name: %@", item->name());
                }
            }
            std::set<std::string> localNames;
            for (const auto& name : *local) {
                if (isPlainFileName(name)) {
                    localNames.insert(name);
                }
            }
            std::vector<std::string> downloads, uploads;
            std::set_difference(cloudNames.begin(), cloudNames.end(), localNames.begin(), localNames.end(),
                                std::back_inserter(downloads));
            std::set_difference(localNames.begin(), localNames.end(), cloudNames.begin(), cloudNames.end(),
                                std::back_inserter(uploads));
            // Counters shared by the batch completions and the end; main thread
            // only (the batch completions are brought there).
            struct Counter {
                std::size_t completed = 0;
                std::size_t total = 0;
            };
            auto counter = std::make_shared<Counter>();
            counter->total = downloads.size() + uploads.size();
            auto report = [progress, counter](const plat::ErrorPtr& error) {
                bool finished = counter->completed == counter->total;
                float fraction = finished ? 1.0f
                                          : static_cast<float>(counter->completed) /
                                                static_cast<float>(std::max<std::size_t>(counter->total, 1));
                if (progress) {
                    progress(error, fraction, finished);
                }
            };
            auto batchDone = [counter, report](plat::ErrorPtr error, std::size_t count) {
                plat::dispatch::Queue::main().assertCurrent();
                counter->completed += count;
                // The final report comes from the queue's completion.
                if (counter->completed < counter->total) {
                    report(error);
                }
            };
            auto tasks = self->downloadTasks(localDirectory, cloudPath, downloads, batchDone);
            auto more = self->uploadTasks(localDirectory, cloudPath, uploads, batchDone);
            tasks.insert(tasks.end(), more.begin(), more.end());
            auto taskQueue = std::make_shared<SYNAsynchronousTaskQueue>(
                std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
                [counter, report, completion](plat::ErrorPtr error) {
                    counter->completed = counter->total;
                    report(error);
                    dispatchCompletion(completion, error);
                });
            queue->addOperation(taskQueue);
        });
}

std::vector<SYNTask> SYNPersistentStoreMesh::downloadTasks(const std::string& localDirectory,
                                                           const std::string& cloudPath,
                                                           const std::vector<std::string>& names,
                                                           BatchCompletion batchCompletion) {
    auto fs = config_.cloudFileSystem;
    Transfer transfer;
    transfer.what = "download";
    transfer.batched = fs->respondsToMember(SYNCloudFileSystem::OptionalMember::DownloadFromPaths);
    transfer.batchSize =
        fs->respondsToMember(SYNCloudFileSystem::OptionalMember::FileDownloadMaximumBatchSize)
            ? fs->fileDownloadMaximumBatchSize()
            : kDefaultBatchSize;
    transfer.many = [fs](auto remote, auto local, auto done) { fs->downloadFromPaths(remote, local, done); };
    transfer.one = [fs](auto remote, auto local, auto done) { fs->downloadFromPath(remote, local, done); };
    return transferTasks(localDirectory, cloudPath, names, std::move(transfer), std::move(batchCompletion));
}

std::vector<SYNTask> SYNPersistentStoreMesh::uploadTasks(const std::string& localDirectory,
                                                         const std::string& cloudPath,
                                                         const std::vector<std::string>& names,
                                                         BatchCompletion batchCompletion) {
    auto fs = config_.cloudFileSystem;
    Transfer transfer;
    transfer.what = "upload";
    transfer.batched = fs->respondsToMember(SYNCloudFileSystem::OptionalMember::UploadLocalFiles);
    transfer.batchSize = fs->respondsToMember(SYNCloudFileSystem::OptionalMember::FileUploadMaximumBatchSize)
                             ? fs->fileUploadMaximumBatchSize()
                             : kDefaultBatchSize;
    transfer.many = [fs](auto remote, auto local, auto done) { fs->uploadLocalFiles(local, remote, done); };
    transfer.one = [fs](auto remote, auto local, auto done) { fs->uploadLocalFile(local, remote, done); };
    return transferTasks(localDirectory, cloudPath, names, std::move(transfer), std::move(batchCompletion));
}

// One task per batch of names: the whole batch in one call when the file
// system takes batches, else file by file, stopping at the first error.
std::vector<SYNTask> SYNPersistentStoreMesh::transferTasks(const std::string& localDirectory,
                                                           const std::string& cloudPath,
                                                           const std::vector<std::string>& names,
                                                           Transfer transfer,
                                                           BatchCompletion batchCompletion) {
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    std::vector<SYNTask> tasks;
    for (auto& batch : batches(names, transfer.batchSize)) {
        tasks.push_back([=](SYNTaskCompletion next) {
            auto self = weak.lock();
            if (!self || self->delistIsQueued()) {
                next(SYNMakeError(SYNErrorCancelled), false);
                return;
            }
            std::vector<std::string> remote, local;
            for (const auto& name : batch) {
                remote.push_back(cloudPath + "/" + name);
                local.push_back(localDirectory + "/" + name);
            }
            auto finish = [next, batchCompletion, what = transfer.what,
                           count = batch.size()](plat::ErrorPtr error) {
                if (error) {
                    SYN_LOG(1, "Failed file %s with error: %@", what, error);
                }
                // A batch call may complete on any thread: the batch is counted
                // on the main thread, before the next task starts there.
                plat::dispatch::Queue::main().async(
                    [batchCompletion, error, count] { batchCompletion(error, count); });
                next(error, false);
            };
            if (transfer.batched) {
                transfer.many(remote, local, finish);
                return;
            }
            std::vector<SYNTask> files;
            for (std::size_t i = 0; i < remote.size(); ++i) {
                files.push_back(
                    [one = transfer.one, from = remote[i], to = local[i]](SYNTaskCompletion done) {
                        one(from, to, [done](plat::ErrorPtr error) { done(error, false); });
                    });
            }
            std::make_shared<SYNAsynchronousTaskQueue>(std::move(files),
                                                       SYNTaskQueueTerminationPolicyStopOnError, finish)
                ->start();
        });
    }
    return tasks;
}

void SYNPersistentStoreMesh::deleteFiles(const std::vector<std::string>& names,
                                         const std::string& localDirectory, const std::string& cloudDirectory,
                                         SYNCompletion completion) {
    for (const auto& name : names) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos) {
            call(completion, SYNMakeError(SYNErrorFileAccessFailed, "Not a file name: " + name));
            return;
        }
    }
    auto& files = plat::FileManager::defaultManager();
    for (const auto& name : names) {
        std::string path = localDirectory + "/" + name;
        bool isDirectory = false;
        if (files.fileExistsAtPath(path, &isDirectory) && !isDirectory) {
            if (auto error = files.removeItemAtPath(path)) {
                SYN_LOG(1, "Failed to remove media file: %@", error);
            }
        }
    }
    if (!isEnlisted()) {
        call(completion, nullptr);
        return;
    }
    std::vector<std::string> paths;
    for (const auto& name : names) {
        paths.push_back(cloudManager_->remoteFilesDirectory() + "/" + cloudDirectory + "/" + name);
    }
    auto fs = config_.cloudFileSystem;
    auto remove = [fs, paths, completion] {
        if (fs->respondsToMember(SYNCloudFileSystem::OptionalMember::RemoveItemsAtPaths)) {
            fs->removeItemsAtPaths(paths, [completion](plat::ErrorPtr error) { call(completion, error); });
            return;
        }
        // Without the batch member: one removal after another.
        std::vector<SYNTask> tasks;
        for (const auto& path : paths) {
            tasks.push_back([fs, path](SYNTaskCompletion next) {
                fs->removeItemAtPath(path, [next](plat::ErrorPtr error) { next(error, false); });
            });
        }
        std::make_shared<SYNAsynchronousTaskQueue>(
            std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
            [completion](plat::ErrorPtr error) { call(completion, error); })
            ->start();
    };
    fs->connect([fs, remove, completion](plat::ErrorPtr error) {
        if (error) {
            call(completion, error);
        } else if (!fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity)) {
            remove();
        } else {
            fs->primeForActivityWithCompletion([remove, completion](plat::ErrorPtr error) {
                if (error) {
                    call(completion, error);
                } else {
                    remove();
                }
            });
        }
    });
}
