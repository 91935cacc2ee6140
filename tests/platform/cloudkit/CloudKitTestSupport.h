// Helpers for the cloud database stand-in's tests: a container on a fresh
// cloud root, and synchronous wrappers that run one operation and collect
// what its blocks delivered.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/cloudkit/Container.h"
#include "platform/cloudkit/Operations.h"
#include "support/TempDir.h"

namespace cktest {

using namespace plat::cloudkit;

inline std::shared_ptr<Container> openContainer(const std::string& root,
                                                std::optional<std::string> account = "alice",
                                                std::string device = "mac-a", int workers = 1) {
    ContainerConfiguration c;
    c.cloudRoot = root;
    c.account = std::move(account);
    c.device = device;
    c.assetCacheFolder = root + "/../cache-" + device;
    c.maxConcurrentOperations = workers;
    auto container = Container::open(c);
    EXPECT_TRUE(container.ok()) << (container.ok() ? "" : container.error()->description());
    return container.ok() ? *container : nullptr;
}

inline const RecordZoneID& meshZone() {
    static const RecordZoneID zone("app.meshes.zone.schema2");
    return zone;
}

inline Record node(const std::string& name, const RecordZoneID& zone = meshZone(), int64_t size = 1) {
    Record r("SYNFileSystemNode", RecordID(name, zone));
    r.setObject("path", plat::Value("/" + name));
    r.setObject("fileSize", plat::Value(size));
    r.setObject("isDirectory", plat::Value(false));
    return r;
}

inline std::string writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

inline std::string readFile(const std::string& path) {
    return testsupport::readFile(path).value_or("");
}

inline int64_t itemCode(const plat::ErrorPtr& error, const ItemID& id) {
    const PartialErrors* partial = partialErrors(error);
    auto item = partial ? partial->errorFor(id) : nullptr;
    return item ? item->code() : 0;
}

struct ModifyOutcome {
    std::vector<RecordPtr> saved;
    std::vector<RecordID> deleted;
    plat::ErrorPtr error;
    int calls = 0;
};

inline ModifyOutcome modify(Database& db, std::vector<Record> saves, std::vector<RecordID> deletes = {},
                            bool atomic = true,
                            RecordSavePolicy policy = RecordSavePolicy::IfServerRecordUnchanged) {
    ModifyOutcome out;
    auto op = std::make_shared<ModifyRecordsOperation>(std::move(saves), std::move(deletes));
    op->atomic = atomic;
    op->savePolicy = policy;
    op->modifyRecordsCompletionBlock = [&](std::vector<RecordPtr> s, std::vector<RecordID> d,
                                           plat::ErrorPtr e) {
        out.saved = std::move(s);
        out.deleted = std::move(d);
        out.error = e;
        ++out.calls;
    };
    db.addOperation(op);
    op->waitUntilFinished();
    return out;
}

struct FetchOutcome {
    std::map<RecordID, RecordPtr> records;
    plat::ErrorPtr error;
    int perRecordCalls = 0;
    int calls = 0;
};

inline FetchOutcome fetch(Database& db, std::vector<RecordID> ids, DesiredKeys keys = std::nullopt) {
    FetchOutcome out;
    auto op = std::make_shared<FetchRecordsOperation>(std::move(ids));
    op->desiredKeys = std::move(keys);
    op->perRecordCompletionBlock = [&](RecordPtr, RecordID, plat::ErrorPtr) { ++out.perRecordCalls; };
    op->fetchRecordsCompletionBlock = [&](std::map<RecordID, RecordPtr> r, plat::ErrorPtr e) {
        out.records = std::move(r);
        out.error = e;
        ++out.calls;
    };
    db.addOperation(op);
    op->waitUntilFinished();
    return out;
}

struct ChangesOutcome {
    std::vector<std::string> entries;  // "+name" changed, "-name" deleted, in delivery order
    std::vector<RecordPtr> changed;
    std::shared_ptr<const ServerChangeToken> token;
    bool moreComing = false;
    plat::ErrorPtr error;
    int calls = 0;
};

inline ChangesOutcome changes(Database& db, const RecordZoneID& zone,
                              std::shared_ptr<const ServerChangeToken> token, std::size_t limit = 0,
                              DesiredKeys keys = std::nullopt) {
    ChangesOutcome out;
    auto op = std::make_shared<FetchRecordChangesOperation>(zone, std::move(token));
    op->resultsLimit = limit;
    op->desiredKeys = std::move(keys);
    op->recordChangedBlock = [&](RecordPtr r) {
        out.entries.push_back("+" + r->recordID().recordName());
        out.changed.push_back(r);
    };
    op->recordWithIDWasDeletedBlock = [&](RecordID id) { out.entries.push_back("-" + id.recordName()); };
    std::weak_ptr<FetchRecordChangesOperation> weak = op;
    op->fetchRecordChangesCompletionBlock = [&, weak](std::shared_ptr<const ServerChangeToken> t,
                                                      std::optional<plat::Data>, plat::ErrorPtr e) {
        out.token = t;
        out.error = e;
        auto self = weak.lock();
        out.moreComing = self && self->moreComing();
        ++out.calls;
    };
    db.addOperation(op);
    op->waitUntilFinished();
    return out;
}

// Follows moreComing to the end; every page's entries in order.
inline ChangesOutcome allChanges(Database& db, const RecordZoneID& zone,
                                 std::shared_ptr<const ServerChangeToken> token, std::size_t limit,
                                 int* pages) {
    ChangesOutcome total;
    *pages = 0;
    do {
        auto page = changes(db, zone, token, limit);
        ++*pages;
        if (page.error) {
            total.error = page.error;
            return total;
        }
        total.entries.insert(total.entries.end(), page.entries.begin(), page.entries.end());
        total.changed.insert(total.changed.end(), page.changed.begin(), page.changed.end());
        token = page.token;
        total.moreComing = page.moreComing;
    } while (total.moreComing);
    total.token = token;
    return total;
}

struct QueryOutcome {
    std::vector<RecordPtr> records;
    std::shared_ptr<const QueryCursor> cursor;
    plat::ErrorPtr error;
    int calls = 0;
};

inline QueryOutcome queryPage(Database& db, std::shared_ptr<QueryOperation> op) {
    QueryOutcome out;
    op->recordFetchedBlock = [&](RecordPtr r) { out.records.push_back(r); };
    op->queryCompletionBlock = [&](std::shared_ptr<const QueryCursor> c, plat::ErrorPtr e) {
        out.cursor = c;
        out.error = e;
        ++out.calls;
    };
    db.addOperation(op);
    op->waitUntilFinished();
    return out;
}

inline plat::ErrorPtr createZone(Database& db, const RecordZoneID& zone) {
    plat::ErrorPtr error;
    auto op = std::make_shared<ModifyRecordZonesOperation>(std::vector<RecordZone>{RecordZone{zone}},
                                                           std::vector<RecordZoneID>{});
    op->modifyRecordZonesCompletionBlock = [&](auto, auto, plat::ErrorPtr e) { error = e; };
    db.addOperation(op);
    op->waitUntilFinished();
    return error;
}

class CloudKitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = (tmp / "cloud").string();
        container = openContainer(root);
        ASSERT_TRUE(container);
        db = container->privateCloudDatabase();
        ASSERT_FALSE(createZone(*db, meshZone()));
    }
    testsupport::TempDir tmp;
    std::string root;
    std::shared_ptr<Container> container;
    std::shared_ptr<Database> db;
};

}  // namespace cktest
