// A tour of the platform layer and the JSON value library: builds a small
// to-do list as dynamic values, prints it the way the platform prints values,
// writes it as JSON and as a property list, reads a field back through the
// JSON library, and runs a timer and a notification on the main loop.
#include <cstdio>
#include <memory>

#include "json/JSON.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

namespace {

plat::Value makeTask(const char* title, bool completed, int sortOrder) {
    return plat::Dictionary{{"title", title},
                            {"completed", completed},
                            {"sortOrder", sortOrder},
                            {"uuid", plat::UUID().UUIDString()},
                            {"dateCreated", plat::Date(0)}};
}

void printValues(const plat::Value& task) {
    std::printf("description:\n%s\n\n", task.description().c_str());
    plat::Dictionary jsonSafe = *task.asDictionary();
    jsonSafe.set("dateCreated", plat::Date(0).iso8601String());
    auto json = plat::JSONSerialization::stringWithJSONObject(
        plat::Array{plat::Value(jsonSafe)}, plat::JSONWritingPrettyPrinted | plat::JSONWritingSortedKeys);
    std::printf("JSON:\n%s\n\n", json.ok() ? json->c_str() : json.error()->description().c_str());
    auto plist = plat::PropertyListSerialization::dataWithPropertyList(
        task, plat::PropertyListSerialization::Format::XML);
    std::printf("property list:\n%s\n", plist.ok() ? plist->toString().c_str() : "(failed)");
    auto parsed = json::JSON::create(plat::Data::fromString(json.ok() ? *json : "[]"));
    if (parsed.ok()) {
        std::printf("title through the JSON library: %s\n\n", (*parsed)[{0, "title"}].stringValue().c_str());
    }
}

}  // namespace

int main() {
    using namespace plat::dispatch;
    MainLoop::bindToCurrentThread();
    printValues(makeTask("Water the plants", false, 1));

    auto& center = plat::NotificationCenter::defaultCenter();
    auto token =
        center.addObserverForName("tasksDidChangeNotification", nullptr, [](const plat::Notification& n) {
            std::printf(
                "%s\n",
                plat::format("received %@ on the main thread: %d", n.name, MainLoop::isMainThread()).c_str());
            MainLoop::stop();
        });
    auto timer = TimerSource::create(Queue::main());
    timer->setTimer(0.05);
    timer->setEventHandler([&center] { center.postNotificationName("tasksDidChangeNotification"); });
    timer->resume();
    MainLoop::run();
    center.removeObserver(token);
    return 0;
}
