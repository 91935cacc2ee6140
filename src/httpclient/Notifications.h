// Names and user-info keys of the notifications posted on the default
// notification centre when a task is resumed, suspended, cancelled or
// completed.
#pragma once

#include <string>

namespace httpclient {

// The reverse-DNS prefix of the library's queue labels, notification names
// and keys.
inline constexpr const char* kLibraryPrefix = "org.kestrel.courier";

namespace Notification {
namespace Name::Task {
const std::string& didResume();
const std::string& didSuspend();
const std::string& didCancel();
const std::string& didComplete();
}  // namespace Name::Task
namespace Key {
// The URLSessionTask (boxed as plat::BoxedObject<URLSessionTask>).
const std::string& task();
// plat::Data: the bytes collected for a data or upload task.
const std::string& responseData();
}  // namespace Key
}  // namespace Notification

}  // namespace httpclient
