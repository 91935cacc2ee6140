#include "httpclient/Notifications.h"

namespace httpclient::Notification {

namespace {
std::string named(const char* suffix) {
    return std::string(kLibraryPrefix) + suffix;
}
}  // namespace

const std::string& Name::Task::didResume() {
    static const std::string& name =
        *new std::string(named(".notification.name.task.didResume"));  // never destroyed: read until exit
    return name;
}
const std::string& Name::Task::didSuspend() {
    static const std::string& name =
        *new std::string(named(".notification.name.task.didSuspend"));  // never destroyed: read until exit
    return name;
}
const std::string& Name::Task::didCancel() {
    static const std::string& name =
        *new std::string(named(".notification.name.task.didCancel"));  // never destroyed: read until exit
    return name;
}
const std::string& Name::Task::didComplete() {
    static const std::string& name =
        *new std::string(named(".notification.name.task.didComplete"));  // never destroyed: read until exit
    return name;
}
const std::string& Key::task() {
    static const std::string& key =
        *new std::string(named(".notification.key.task"));  // never destroyed: read until exit
    return key;
}
const std::string& Key::responseData() {
    static const std::string& key =
        *new std::string(named(".notification.key.responseData"));  // never destroyed: read until exit
    return key;
}

}  // namespace httpclient::Notification
