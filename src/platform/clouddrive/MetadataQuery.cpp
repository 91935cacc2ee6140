#include "platform/clouddrive/MetadataQuery.h"

#include <filesystem>
#include <set>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"

namespace fs = std::filesystem;

namespace plat::clouddrive {

bool MetadataPredicate::evaluate(const ItemAttributes& item) const {
    if (statusIsNot && item.status == *statusIsNot) {
        return false;
    }
    if (isDownloading && item.isDownloading != *isDownloading) {
        return false;
    }
    return !pathBeginsWith || item.path.compare(0, pathBeginsWith->size(), *pathBeginsWith) == 0;
}

std::shared_ptr<MetadataQuery> MetadataQuery::create() {
    return std::shared_ptr<MetadataQuery>(new MetadataQuery());
}

MetadataQuery::~MetadataQuery() {
    watchers_.clear();
}

void MetadataQuery::setSearchScopes(std::vector<std::string> folders) {
    scopes_ = std::move(folders);
}

void MetadataQuery::setPredicate(MetadataPredicate predicate) {
    predicate_ = std::move(predicate);
}

std::vector<ItemAttributes> MetadataQuery::gather() const {
    std::set<std::string> paths;
    for (const auto& scope : scopes_) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(scope, error), end; !error && it != end;
             it.increment(error)) {
            const auto name = it->path().filename().string();
            if (name.empty()) {
                continue;
            }
            if (name.front() != '.') {
                paths.insert(it->path().string());
            } else if (auto item = itemNameForPlaceholderName(name)) {
                paths.insert((it->path().parent_path() / *item).string());
            } else {
                std::error_code dirError;
                if (it->is_directory(dirError)) {
                    it.disable_recursion_pending();
                }
            }
        }
    }
    std::vector<ItemAttributes> results;
    for (const auto& path : paths) {
        auto attributes = attributesOfItem(path);
        if (attributes && predicate_.evaluate(*attributes)) {
            results.push_back(std::move(*attributes));
        }
    }
    return results;
}

void MetadataQuery::startQuery() {
    if (started_) {
        return;
    }
    started_ = true;
    results_ = gather();
    std::weak_ptr<MetadataQuery> weak = weak_from_this();
    for (const auto& scope : scopes_) {
        watchers_.push_back(std::make_unique<DirectoryWatcher>(scope, true, [weak](const std::string&) {
            dispatch::Queue::main().async([weak] {
                if (auto query = weak.lock()) {
                    query->changed();
                }
            });
        }));
    }
    dispatch::Queue::main().async([weak] {
        auto query = weak.lock();
        if (query && query->started_) {
            NotificationCenter::defaultCenter().postNotificationName(
                MetadataQueryDidFinishGatheringNotification, query);
        }
    });
}

void MetadataQuery::stopQuery() {
    started_ = false;
    watchers_.clear();
}

void MetadataQuery::disableUpdates() {
    ++disabled_;
}

void MetadataQuery::enableUpdates() {
    if (disabled_ > 0 && --disabled_ == 0 && pending_) {
        pending_ = false;
        changed();
    }
}

void MetadataQuery::changed() {
    if (!started_) {
        return;
    }
    if (disabled_ > 0) {
        pending_ = true;
        return;
    }
    // A burst of file events makes one gathering.
    if (!updateQueued_) {
        updateQueued_ = true;
        std::weak_ptr<MetadataQuery> weak = weak_from_this();
        dispatch::Queue::main().async([weak] {
            if (auto query = weak.lock()) {
                query->updateQueued_ = false;
                query->update();
            }
        });
    }
}

void MetadataQuery::update() {
    if (!started_) {
        return;
    }
    if (disabled_ > 0) {
        pending_ = true;
        return;
    }
    auto fresh = gather();
    auto key = [](const ItemAttributes& item) {
        return std::make_tuple(item.path, static_cast<int>(item.status), item.isDownloading,
                               item.percentDownloaded, item.size);
    };
    bool same = fresh.size() == results_.size();
    for (std::size_t i = 0; same && i < fresh.size(); ++i) {
        same = key(fresh[i]) == key(results_[i]);
    }
    if (same) {
        return;
    }
    results_ = std::move(fresh);
    NotificationCenter::defaultCenter().postNotificationName(MetadataQueryDidUpdateNotification,
                                                             shared_from_this());
}

}  // namespace plat::clouddrive
