#include "platform/urlloading/detail/CurlErrors.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>

#include "platform/urlloading/URLError.h"

namespace plat::urlloading::detail {

int64_t urlErrorCodeForCurlResult(int curlCode, long osErrno) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OK:
            return 0;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return URLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT:
            return URLErrorBadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return URLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return osErrno == ENETUNREACH || osErrno == ENETDOWN ? URLErrorNotConnectedToInternet
                                                                 : URLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorTimedOut;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return URLErrorNetworkConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
            return URLErrorSecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return URLErrorServerCertificateUntrusted;
        case CURLE_SSL_CERTPROBLEM:
            return URLErrorClientCertificateRequired;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrorHTTPTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
            return URLErrorBadServerResponse;
        case CURLE_BAD_CONTENT_ENCODING:
            return URLErrorCannotDecodeContentData;
        case CURLE_FILESIZE_EXCEEDED:
            return URLErrorDataLengthExceedsMaximum;
        case CURLE_WRITE_ERROR:
            return URLErrorCannotWriteToFile;
        case CURLE_READ_ERROR:
            return URLErrorRequestBodyStreamExhausted;
        case CURLE_ABORTED_BY_CALLBACK:
            return URLErrorCancelled;
        default:
            return URLErrorUnknown;
    }
}

int64_t urlErrorCodeForVerifyResult(long verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return URLErrorServerCertificateHasBadDate;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return URLErrorServerCertificateNotYetValid;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return URLErrorServerCertificateHasUnknownRoot;
        default:
            return URLErrorServerCertificateUntrusted;
    }
}

}  // namespace plat::urlloading::detail
