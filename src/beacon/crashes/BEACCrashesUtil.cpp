#include "beacon/crashes/BEACCrashesUtil.h"

#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "platform/dispatch/Once.h"

namespace {

struct Folder {
    const char* name;
    plat::dispatch::Once once;
};

Folder gCrashes{"crashes", {}};
Folder gLogBuffer{"crasheslogbuffer", {}};
Folder gWrapperExceptions{kBEACWrapperExceptionsDirectory, {}};

std::string created(Folder& folder) {
    folder.once.call([&folder] { BEACUtility::createDirectoryForPathComponent(std::string(folder.name)); });
    return folder.name;
}

}  // namespace

std::string BEACCrashesUtil::crashesDir() {
    return created(gCrashes);
}

std::string BEACCrashesUtil::logBufferDir() {
    return created(gLogBuffer);
}

std::string BEACCrashesUtil::wrapperExceptionsDir() {
    return created(gWrapperExceptions);
}

void BEACCrashesUtil::resetDirectory() {
    gCrashes.once.reset();
    gLogBuffer.once.reset();
    gWrapperExceptions.once.reset();
}
