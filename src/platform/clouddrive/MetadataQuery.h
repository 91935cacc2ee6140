// A live query over the items of container folders and their download state.
//
// The search scopes are folders, walked recursively; an item is a visible
// entry or the item a placeholder stands for. The predicate is a conjunction
// of the three tests the sync framework asks (status is not a given status,
// is-downloading equals a flag, path begins with a prefix); an unset test
// passes.
//
// startQuery gathers the results on the calling thread and then posts
// MetadataQueryDidFinishGatheringNotification asynchronously on the main
// queue; afterwards every change below a scope (seen through inotify, hidden
// placeholders included) gathers again on the main queue and posts
// MetadataQueryDidUpdateNotification when the results differ. While updates
// are disabled the results stand still; enableUpdates catches up. The sender
// of both notifications is the query. Results are in path order.
//
// Use from the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clouddrive/FilePresenter.h"
#include "platform/clouddrive/Ubiquity.h"

namespace plat::clouddrive {

inline constexpr const char* MetadataQueryDidFinishGatheringNotification =
    "NSMetadataQueryDidFinishGatheringNotification";
inline constexpr const char* MetadataQueryDidUpdateNotification = "NSMetadataQueryDidUpdateNotification";

struct MetadataPredicate {
    std::optional<DownloadStatus> statusIsNot;
    std::optional<bool> isDownloading;
    std::optional<std::string> pathBeginsWith;

    bool evaluate(const ItemAttributes& item) const;
};

class MetadataQuery : public std::enable_shared_from_this<MetadataQuery> {
  public:
    static std::shared_ptr<MetadataQuery> create();
    ~MetadataQuery();

    void setSearchScopes(std::vector<std::string> folders);
    void setPredicate(MetadataPredicate predicate);

    void startQuery();
    void stopQuery();
    bool isStarted() const { return started_; }
    void disableUpdates();
    void enableUpdates();

    std::size_t resultCount() const { return results_.size(); }
    const ItemAttributes& resultAtIndex(std::size_t index) const { return results_.at(index); }

  private:
    MetadataQuery() = default;
    std::vector<ItemAttributes> gather() const;
    void changed();
    void update();

    std::vector<std::string> scopes_;
    MetadataPredicate predicate_;
    std::vector<ItemAttributes> results_;
    bool started_ = false;
    int disabled_ = 0;
    bool pending_ = false;  // a change arrived while updates were disabled
    bool updateQueued_ = false;
    std::vector<std::unique_ptr<DirectoryWatcher>> watchers_;
};

}  // namespace plat::clouddrive
