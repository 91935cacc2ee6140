// Object-ID URIs: read as a URL and as text against a coordinator with two
// stores. An ID found must give back a URI that finds an equal ID. "@0" and
// "@1" in the input stand for the two stores' identifiers (random at each
// run), so that inputs can name them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/URL.h"

namespace {

struct Setup {
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::string stores[2];
};

const Setup& setup() {
    static const Setup made = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        model->addEntity("Person").addAttribute("name", plat::coredata::AttributeType::String);
        model->addEntity("Pet").addAttribute("name", plat::coredata::AttributeType::String);
        Setup s;
        s.coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        for (auto& identifier : s.stores) {
            auto store =
                s.coordinator->addPersistentStore(plat::coredata::InMemoryStoreType, "", std::nullopt);
            if (!store.ok())
                std::abort();
            identifier = (*store)->identifier();
        }
        return s;
    }();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Setup& s = setup();
    std::string text(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = text.find('@'); at != std::string::npos && at + 1 < text.size();
         at = text.find('@', at + 1)) {
        if (text[at + 1] == '0' || text[at + 1] == '1') {
            const std::string& identifier = s.stores[text[at + 1] - '0'];
            text.replace(at, 2, identifier);
            at += identifier.size() - 1;
        }
    }
    if (auto url = plat::URL::URLWithString(text))
        (void)plat::coredata::parseObjectIDURI(*url);
    auto id = s.coordinator->managedObjectIDForURIRepresentation(text);
    if (!id)
        return 0;
    auto again = s.coordinator->managedObjectIDForURIRepresentation(id->URIRepresentation());
    if (!again || !again->isEqualID(*id))
        std::abort();
    return 0;
}
