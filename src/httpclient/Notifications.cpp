#include "httpclient/Notifications.h"

namespace httpclient::Notification {

namespace {
std::string named(const char* suffix) {
    return std::string(kLibraryPrefix) + suffix;
}
}  // namespace

const std::string& Name::Task::didResume() {
    static const std::string name = named(".notification.name.task.didResume");
    return name;
}
const std::string& Name::Task::didSuspend() {
    static const std::string name = named(".notification.name.task.didSuspend");
    return name;
}
const std::string& Name::Task::didCancel() {
    static const std::string name = named(".notification.name.task.didCancel");
    return name;
}
const std::string& Name::Task::didComplete() {
    static const std::string name = named(".notification.name.task.didComplete");
    return name;
}
const std::string& Key::task() {
    static const std::string key = named(".notification.key.task");
    return key;
}
const std::string& Key::responseData() {
    static const std::string key = named(".notification.key.responseData");
    return key;
}

}  // namespace httpclient::Notification
