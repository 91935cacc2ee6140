// How libcurl's results and OpenSSL's verify results become URL error codes.
// Pure functions; any thread.
#pragma once

#include <cstdint>

namespace plat::urlloading::detail {

// `curlCode` is a CURLcode, `osErrno` CURLINFO_OS_ERRNO.
int64_t urlErrorCodeForCurlResult(int curlCode, long osErrno);
// `verifyResult` is an X509_V_ERR_* value of a failed certificate check.
int64_t urlErrorCodeForVerifyResult(long verifyResult);

}  // namespace plat::urlloading::detail
