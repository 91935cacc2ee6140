// SYNRevisionManager: answers which events a merge must integrate — whether
// the local store was abandoned by the others, which events it has not yet
// merged, which events are concurrent with those, and which of a list can be
// integrated at all.
//
// Every operation runs inside the event store's context (re-entrantly) and
// takes and returns event objects of that context; call it from inside the
// context when you hold event objects. Failed fetches are errors, never
// "no events".
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/foundation/URL.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

class SYNRevisionManager {
  public:
    explicit SYNRevisionManager(std::shared_ptr<SYNEventStore> eventStore);

    // The model versions events may have been made with (a model file or a
    // bundle of versions); without it, every model version passes.
    const std::optional<plat::URL>& managedObjectModelURL() const { return modelURL_; }
    void setManagedObjectModelURL(std::optional<plat::URL> url) { modelURL_ = std::move(url); }

    // With sharing on, the first check that needs them reads the baseline
    // and the own revisions of the complete save and merge events once (as
    // rows, not events), and the later checks of this manager use what was
    // read instead of reading again. Meant for the checks of one merge:
    // events saved later are not seen until sharing is turned on again
    // (which drops what was read). Off by default.
    void setSharesEventFetches(bool shares) {
        sharesFetches_ = shares;
        sharedFacts_.reset();
    }

    // Answers, for the events the integrability check screens, that none
    // has a data-file record (true), or that this is not known (false: the
    // store is asked, as it is without an answer set). Called inside the
    // event store's context.
    using DataFileAnswer = std::function<bool(const SYNManagedObjects& events)>;
    void setEventsWithoutDataFiles(DataFileAnswer answer) { withoutDataFiles_ = std::move(answer); }

    // The unique identifier of the baseline, nullopt without one: with
    // sharing on, taken from what the checks read (reading it for them when
    // they have not yet), else read as the event store reads it.
    std::optional<std::string> currentBaselineIdentifier();
    // False when the local store has been abandoned: a baseline exists, the
    // local store has merged before, and the baseline either lacks the local
    // store or claims a local revision above every local event present.
    plat::Result<bool> checkThatLocalPersistentStoreHasNotBeenAbandoned();
    // Complete save and merge events of every store whose own revision is not
    // covered by the local store's latest merge event (else the baseline), in
    // event order.
    plat::Result<SYNManagedObjects> fetchUncommittedStoreModificationEvents();
    // The events plus every event concurrent with one of them (neither's set
    // covers the other's revision), repeated until nothing is added; in event
    // order.
    plat::Result<SYNManagedObjects> recursivelyFetchStoreModificationEventsConcurrentWithEvents(
        const SYNManagedObjects& events);
    // The events that can be integrated, in input order. Left out, with the
    // code added to informativeErrorCodes: an unknown model version (201); a
    // gap before the event in its store's revisions, or an earlier event of
    // its store left out (204); a revision of another store it depends on
    // that neither the baseline nor a kept event holds (210); a data file
    // that is not here (214). Events the baseline already holds (other than the baseline itself) are left out
    // without a code. An error when the event store cannot be read.
    plat::Result<SYNManagedObjects> integrableEventsFromEvents(const SYNManagedObjects& events,
                                                               std::set<int64_t>& informativeErrorCodes);

    // Hands the revisions of other stores of the local merge event just
    // saved complete (eventID, its own revision number) to the event store's
    // tallies, when they follow that event as the local store's latest merge
    // and do not know them yet: the next merge's checks and the next event
    // then take them from there instead of reading the event's revision
    // records back. `others` must be what the event's records hold. Call
    // inside the event store's context, right after the save.
    void keepRevisionsOfMerge(const plat::coredata::ManagedObjectID& eventID, int64_t number,
                              SYNRevisionSet others);

    // The revisions of other stores of the stored event `eventID` as the
    // event store's tallies keep them (the records a followed save linked
    // to it), without reading the store, when `context` reads the saved
    // store (no parent, no unsaved changes); nullopt otherwise. Call inside
    // the context.
    static std::optional<SYNRevisionSet> keptRevisionsOfOtherStores(
        const SYNEventStore& store, const plat::coredata::ManagedObjectContext& context,
        const plat::coredata::ManagedObjectID& eventID);

  private:
    struct Facts;
    // The baseline's revision set (empty without a baseline).
    plat::Result<SYNRevisionSet> baselineRevisionSet(plat::coredata::ManagedObjectContext& context);
    // The local store's latest complete merge event (null when none), and
    // the stores whose complete events may lie above a revision set: from
    // what the checks read when it is shared, else fetched.
    plat::Result<plat::coredata::ManagedObjectPtr> latestLocalMergeEvent(
        plat::coredata::ManagedObjectContext& context);
    plat::Result<std::set<std::string>> storesOfRevisions(plat::coredata::ManagedObjectContext& context);
    // The revision set of the local store's latest merge, else of the
    // baseline, else empty: what the local store has merged.
    plat::Result<SYNRevisionSet> revisionSetCommitted(plat::coredata::ManagedObjectContext& context);
    // The revision set of the latest local merge as the event store's tallies
    // keep it, when they keep the very merge the checks read (one latest, of
    // the same number) with its revisions of other stores, and the context
    // holds no unsaved event or revision record; else nullopt (read it).
    std::optional<SYNRevisionSet> keptRevisionSetOfLatestLocalMerge(
        const plat::coredata::ManagedObjectContext& context) const;
    // Leaves out of the bounds the stores that, by what the checks read, have
    // no complete event above their bound (nothing is left out without it).
    void dropStoresWithNothingAbove(std::map<std::string, std::optional<int64_t>>& bounds) const;
    // The complete save and merge events whose own revision lies above the
    // bound of its store (see
    // SYNStoreModificationEvent::fetchNonBaselineEventsAboveRevisions), in
    // event order: named by the facts the tallies keep when the checks took
    // theirs from there, else fetched.
    plat::Result<SYNManagedObjects> completeEventsAbove(
        const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
        plat::coredata::ManagedObjectContext& context);
    struct KnownVersions;
    class IntegrabilityCheck;
    plat::Result<std::shared_ptr<const Facts>> gatherFacts(plat::coredata::ManagedObjectContext& context);
    std::optional<KnownVersions> knownModelVersions() const;

    std::shared_ptr<SYNEventStore> store_;
    std::optional<plat::URL> modelURL_;
    bool sharesFetches_ = false;
    std::shared_ptr<const Facts> sharedFacts_;  // what the checks read, while sharing
    DataFileAnswer withoutDataFiles_;
};
