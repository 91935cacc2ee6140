// The texts of event files, both ways, on real stores and folders: the
// export's text of kept changes must be, byte for byte, the text written
// from the rows, whatever bytes its strings hold and wherever they lie; and
// the import reads a change's members in whatever order a file lists them,
// ignores members it does not know, and refuses a file that lacks one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Strings of every length up to 19 bytes with one byte of `bytes` at every
// place (so that it falls at each place of an eight-byte word and in the
// tail), and plain strings of every length up to 24 bytes.
std::vector<std::string> textsAround(const std::vector<std::string>& bytes) {
    std::vector<std::string> texts;
    for (std::size_t length = 0; length <= 24; ++length) {
        std::string plain;
        for (std::size_t i = 0; i < length; ++i) {
            plain.push_back(static_cast<char>(' ' + (i * 7 + length) % 95));  // ' ' to '~'
        }
        // The writer escapes these three: keep the plain ones plain.
        for (char& c : plain) {
            if (c == '"' || c == '\\' || c == '/') {
                c = 'x';
            }
        }
        texts.push_back(plain);
    }
    for (const std::string& odd : bytes) {
        for (std::size_t length = 1; length <= 19; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, 'a');
                text.replace(at, 1, odd);
                texts.push_back(text);
            }
        }
    }
    return texts;
}

class SYNEventFileMembersTest : public EventFileTest {
  protected:
    // The bytes of the event's files, exported from the store as the mesh
    // does; whether the export took kept changes.
    std::string exported(const ManagedObjectIDPtr& id, bool* took = nullptr) {
        const bool kept = source->savedEvent()->keeps(*id);
        auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
        operation->start();
        EXPECT_EQ(operation->error(), nullptr);
        if (took) {
            *took = kept && !source->savedEvent()->keeps(*id);
        }
        std::string bytes;
        for (const auto& path : operation->filePaths()) {
            bytes += contents(path);
            bytes += '\n';
        }
        return bytes;
    }

    // Keeps the changes of the stored event as a builder keeps those it
    // saves, from its rows (the save that wrote the rows is the one the
    // count allows: `savesBefore` was taken just before it).
    void keepFromRows(const ManagedObjectIDPtr& id, uint64_t savesBefore) {
        inContext(source, [&](ManagedObjectContext& context) {
            auto event = context.existingObjectWithID(id);
            ASSERT_TRUE(event.ok());
            SYNSavedEvent::Event kept;
            kept.eventID = id;
            kept.revision = *SYNStoreModificationEvent::revision(**event);
            for (const auto& change : (*event)->objectsForKey("objectChanges")) {
                auto& made = kept.changes.emplace_back();
                made.key = change->objectID()->primaryKey();
                auto record = change->objectForKey("globalIdentifier");
                made.recordKey = record ? record->objectID()->primaryKey() : 0;
                made.type = SYNObjectChange::type(*change);
                made.entityName = *change->valueForKey("nameOfEntity").asString();
                made.globalIdentifier = SYNObjectChange::globalIdentifierString(*change);
                for (const auto& file : change->objectsForKey("dataFiles")) {
                    made.dataFile = *file->valueForKey("filename").asString();
                }
                made.valuesRevision = SYNObjectChange::valuesRevision(*change);
                made.values = change->valueForKey("propertyChangeValues");
            }
            context.reset();
            source->savedEvent()->keep(savesBefore, std::move(kept));
        });
    }

    // Writes an event of these changes (identifier, values) in one save.
    ManagedObjectIDPtr writeChanges(
        const std::string& uid, int64_t revision,
        const std::vector<std::pair<std::string, std::vector<SYNPropertyChangeValue>>>& changes) {
        return inContext(source, [&](ManagedObjectContext& context) {
            eventstoretest::EventWriter writer(context);
            auto event = writer.event(uid, SYNStoreModificationEventTypeSave, revision,
                                      SYNRevision{storeID(source), revision}, revisions({{"OTHER", 3}}));
            for (const auto& [identifier, values] : changes) {
                writer.change(event, identifier, SYNObjectChangeTypeUpdate, values);
            }
            EXPECT_EQ(context.save(), nullptr);
            auto id = event->objectID();
            context.reset();
            return id;
        });
    }
};

// Identifiers, property names, related identifiers, member sets and text
// values holding each byte the writer escapes or checks (control bytes,
// quote, backslash, slash, DEL, bytes of two- and four-byte UTF-8) at every
// place, and plain text of every length: the kept changes' text is the
// rows' text.
TEST_F(SYNEventFileMembersTest, KeptChangesWriteTheRowsTextWhereverTheirBytesLie) {
    const std::vector<std::string> odd = {"\x01", "\x1f", "\"",       "\\", "/",
                                          "\x7f", "~",    "\xC3\xA9", " ",  "\xF0\x9F\x98\x80"};
    const std::vector<std::string> texts = textsAround(odd);
    ASSERT_GT(texts.size(), 1500u);
    // Events of at most 100 changes (kept events are small), each change
    // naming its text in every member that takes text.
    std::size_t next = 0;
    int64_t revision = 0;
    int keptExports = 0;
    while (next < texts.size()) {
        std::vector<std::pair<std::string, std::vector<SYNPropertyChangeValue>>> changes;
        for (std::size_t i = 0; i < 100 && next < texts.size(); ++i, ++next) {
            const std::string& text = texts[next];
            std::vector<SYNPropertyChangeValue> values;
            values.push_back(eventstoretest::attribute("name", Value(text)));
            values.push_back(eventstoretest::attribute(text.empty() ? "p" : "p" + text, Value(int64_t(i))));
            SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "owner");
            toOne.setRelatedIdentifier(text);
            values.push_back(toOne);
            values.push_back(eventstoretest::toMany("friends", {text, "plain"}, {text + "x"}));
            // Identifiers unique within the event, the text first.
            changes.emplace_back(text + "#" + std::to_string(i), std::move(values));
        }
        ++revision;
        const uint64_t before = source->savedEvent()->saves();
        const auto id = writeChanges("E" + std::to_string(revision), revision, changes);
        const std::string fromRows = exported(id);
        keepFromRows(id, before);
        ASSERT_TRUE(source->savedEvent()->keeps(*id));
        bool took = false;
        const std::string fromKept = exported(id, &took);
        EXPECT_TRUE(took) << "the export takes the kept changes";
        keptExports += took ? 1 : 0;
        EXPECT_EQ(fromKept, fromRows) << "event " << revision;
        // Each text is in the file as the writer writes it.
        auto parsed = plat::JSONSerialization::JSONObjectWithString(fromRows.substr(0, fromRows.find('\n')));
        ASSERT_TRUE(parsed.ok());
    }
    EXPECT_GT(keptExports, 10);
}

// A change's members listed in every order, with members the reader does
// not know among them, read as the exported file reads (one by one and in
// a batch); a file whose change lacks a member, or holds one of the wrong
// kind, is refused as malformed.
TEST_F(SYNEventFileMembersTest, ChangeMembersAreReadInAnyOrderAndEachIsRequired) {
    writeEvent(source, "ORDER", SYNStoreModificationEventTypeSave, 1, 1, 4);
    const std::string path = exportedTo(root.str() + "/in/ORDER", 1, {SYNStoreModificationEventTypeSave});
    ASSERT_FALSE(path.empty());
    auto document = plat::JSONSerialization::JSONObjectWithString(contents(path));
    ASSERT_TRUE(document.ok());
    const std::string expected = describeEvent(source, "ORDER");

    // Rewrites every change (and every property change) of the document.
    using Rewrite = std::function<plat::Dictionary(const plat::Dictionary&, bool property)>;
    auto rewritten = [&](const Rewrite& rewrite) {
        plat::Dictionary file = *document->asDictionary();
        plat::Dictionary byEntity;
        for (const auto& [entity, list] : *file.find("changesByEntity")->asDictionary()) {
            plat::Array changes;
            for (const auto& change : *list.asArray()) {
                plat::Dictionary members = rewrite(*change.asDictionary(), false);
                if (const Value* properties = members.find("properties");
                    properties && properties->isArray()) {
                    plat::Array made;
                    for (const auto& property : *properties->asArray()) {
                        made.emplace_back(rewrite(*property.asDictionary(), true));
                    }
                    members.set("properties", Value(std::move(made)));
                }
                changes.emplace_back(std::move(members));
            }
            byEntity.set(entity, Value(std::move(changes)));
        }
        file.set("changesByEntity", Value(std::move(byEntity)));
        return *plat::JSONSerialization::stringWithJSONObject(Value(std::move(file)));
    };
    auto reordered = [](const plat::Dictionary& members, std::size_t turn, bool reversed) {
        std::vector<std::pair<std::string, Value>> entries(members.begin(), members.end());
        std::rotate(entries.begin(), entries.begin() + turn % entries.size(), entries.end());
        if (reversed) {
            std::reverse(entries.begin(), entries.end());
        }
        plat::Dictionary made;
        for (auto& [key, value] : entries) {
            made.set(key, value);
        }
        return made;
    };

    const std::string dir = root.str() + "/members/";
    std::filesystem::create_directories(dir);
    std::vector<std::string> good;
    for (std::size_t turn = 0; turn < 6; ++turn) {
        for (bool reversed : {false, true}) {
            const std::string name = dir + "order-" + std::to_string(turn) + (reversed ? "r" : "");
            write(name, rewritten([&](const plat::Dictionary& members, bool property) {
                      plat::Dictionary made = reordered(members, turn, reversed);
                      // Members of later versions are passed over.
                      if (!property) {
                          made.set(turn % 2 ? "aaUnknown" : "zzUnknown", Value("ignored"));
                      }
                      return made;
                  }));
            good.push_back(name);
        }
    }
    for (const auto& name : good) {
        SCOPED_TRACE(name);
        auto store = makeStore("one-" + std::filesystem::path(name).filename().string());
        auto operation = std::make_shared<SYNJSONEventImport>(store, std::vector<std::string>{name});
        run(operation);
        ASSERT_NE(operation->eventID(), nullptr) << operation->error();
        EXPECT_EQ(describeEvent(store, "ORDER"), expected);
    }
    for (const auto& name : good) {
        SCOPED_TRACE(name);
        auto store = makeStore("batch-" + std::filesystem::path(name).filename().string());
        SYNJSONEventBatchImport operation(store, {name}, 100000);
        operation.start();
        ASSERT_EQ(operation.eventIDs().size(), 1u);
        ASSERT_NE(operation.eventIDs()[0], nullptr);
        EXPECT_EQ(describeEvent(store, "ORDER"), expected);
    }

    // Each member a change or property change requires, missing or of the
    // wrong kind.
    struct Broken {
        const char* key;
        bool property;
        Value replacement;  // null: removed
    };
    const std::vector<Broken> broken = {
        {"globalIdentifier", false, Value()},
        {"globalIdentifier", false, Value(int64_t{5})},
        {"type", false, Value()},
        {"type", false, Value("1")},
        {"properties", false, Value()},
        {"properties", false, Value(plat::Dictionary())},
        {"type", true, Value()},
        {"type", true, Value("attribute")},
        {"valuesRevision", false, Value(int64_t{1})},
        {"dataFiles", false, Value("file")},
    };
    int brokenFiles = 0;
    for (const auto& b : broken) {
        SCOPED_TRACE(std::string(b.key) + (b.property ? " of a property" : "") + " " +
                     b.replacement.description());
        const std::string name = dir + "broken-" + std::to_string(++brokenFiles);
        bool changed = false;
        write(name, rewritten([&](const plat::Dictionary& members, bool property) {
                  plat::Dictionary made = members;
                  if (property == b.property && (made.contains(b.key) || !b.replacement.isNull())) {
                      changed = true;
                      if (b.replacement.isNull()) {
                          made.erase(b.key);
                      } else {
                          made.set(b.key, b.replacement);
                      }
                  }
                  return made;
              }));
        ASSERT_TRUE(changed);
        auto store = makeStore("broken-" + std::to_string(brokenFiles));
        auto operation = std::make_shared<SYNJSONEventImport>(store, std::vector<std::string>{name});
        run(operation);
        EXPECT_EQ(operation->eventID(), nullptr);
        ASSERT_NE(operation->error(), nullptr);
        const Value* malformed = operation->error()->userInfo().find(SYNMalformedEventFileKey);
        EXPECT_TRUE(malformed && malformed->boolValue()) << operation->error();
        SYNJSONEventBatchImport batch(store, {name}, 100000);
        batch.start();
        ASSERT_EQ(batch.eventIDs().size(), 1u);
        EXPECT_EQ(batch.eventIDs()[0], nullptr);
        EXPECT_EQ(countEvents(store), 0u);
    }
}

}  // namespace
