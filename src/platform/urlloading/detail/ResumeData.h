// Resume data: what a cancelled or failed download needs to go on later,
// as a small versioned JSON document. Only this session layer reads it.
//
// decodeResumeData refuses data that names a partial file anywhere but
// directly inside `downloadDirectory`, a file that is not a regular file of
// this user, or a link. Pure functions apart from that check (lstat).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/urlloading/URLRequest.h"

namespace plat::urlloading::detail {

struct ResumeInfo {
    URLRequest request;
    std::string partialFilePath;
    int64_t bytesReceived = 0;
    std::optional<std::string> entityTag;
    std::optional<std::string> lastModified;
    int64_t expectedTotal = -1;
};

Data encodeResumeData(const ResumeInfo& info);
std::optional<ResumeInfo> decodeResumeData(const Data& data, const std::string& downloadDirectory);

}  // namespace plat::urlloading::detail
